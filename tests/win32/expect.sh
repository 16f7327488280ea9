# Sourced by the Wine checks: `expect WHAT EXPECTED SEEN` prints ok or
# FAILED and remembers a failure in $status, which the check exits with.
status=0
expect() {
  if [ "$2" != "$3" ]; then
    echo "FAILED: $1: expected '$2', saw '$3'"
    status=1
  else
    echo "ok: $1"
  fi
}
