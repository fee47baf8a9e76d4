#!/usr/bin/env bash
# Checks the manual page: groff reads it without a warning, and every element
# that the configuration reader looks up is described in it.
set -euo pipefail
cd "$(dirname "$0")/.."
page=docs/pxeservice.8
status=0
warnings=$(groff -man -Tutf8 -ww -z "$page" 2>&1)
[ -z "$warnings" ] || { echo "$page: $warnings" >&2; status=1; }
for name in $(grep -oE '(Child|NumberOrExit)\([^;]*"[A-Z][A-Za-z]*"' config/*.cpp |
              grep -oE '"[A-Z][A-Za-z]*"' | tr -d '"' | sort -u); do
    grep -qE "(^|[^A-Za-z])$name([^A-Za-z]|$)" "$page" || { echo "$page does not describe $name" >&2; status=1; }
done
[ $status -eq 0 ] && echo "manpage: no warnings, every setting described"
exit $status
