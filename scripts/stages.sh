# Sourced by the test scripts: runs named stages, counts how they end and
# says how long each took.
passed=0
failed=0
stage() {
  local name=$1
  shift
  echo "=== $name"
  local started=$SECONDS
  if "$@"; then
    passed=$((passed + 1))
    echo "=== $name: passed ($((SECONDS - started)) s)"
  else
    failed=$((failed + 1))
    echo "=== $name: FAILED ($((SECONDS - started)) s)"
  fi
}
