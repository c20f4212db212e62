# The tally of a script-level test, sourced by demo-test.sh and
# package-test.sh: each check passes or fails with its reason on stderr,
# and finish prints "<name>: N checks, F failed" and exits 1 when any failed.
# The sourcing script sets tally_name first.
checks=0
failures=0
pass() { checks=$((checks + 1)); }
fail() {
  checks=$((checks + 1))
  failures=$((failures + 1))
  echo "$tally_name: FAILED: $*" >&2
}
finish() {
  echo "$tally_name: $checks checks, $failures failed"
  [ "$failures" -eq 0 ]
  exit
}
