# Shell functions the scripts share; sourced, not run.

# Waits up to $2 seconds for the text $1 in the file $3.
wait_for() {
  local i
  for ((i = 0; i < $2 * 10; i++)); do
    grep -qF -- "$1" "$3" 2>/dev/null && return 0
    sleep 0.1
  done
  return 1
}
