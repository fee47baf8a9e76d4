#!/usr/bin/env bash
# Checks that no source file includes from a folder above its own: each folder
# may include from itself and from the folders before it in this list.
set -euo pipefail
cd "$(dirname "$0")/.."
layers=(platform core config console "boot tftp http" service tools)
rank() { local i; for i in "${!layers[@]}"; do [[ " ${layers[$i]} " == *" $1 "* ]] && echo "$i" && return; done; echo -1; }
status=0
for file in $(git ls-files 'platform/*' 'core/*' 'config/*' 'console/*' 'boot/*' 'tftp/*' 'http/*' 'service/*' 'tools/*' | grep -E '\.(cpp|h)$'); do
    own=$(rank "${file%%/*}")
    while read -r used; do
        [ "$(rank "$used")" -le "$own" ] && continue
        echo "$file includes from $used/, a folder above it" >&2
        status=1
    done < <(sed -n 's|^#include "\([a-z]*\)/.*|\1|p' "$file" | sort -u)
done
[ $status -eq 0 ] && echo "layers: no include points up"
exit $status
