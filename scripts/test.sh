#!/usr/bin/env bash
# The test command: installs what is missing, builds the tree plainly and
# under AddressSanitizer + UndefinedBehaviorSanitizer, and runs every test
# in both builds against private PostgreSQL and MariaDB servers (started once
# for both runs and stopped on every exit), then runs every fuzz target for
# about 20 s, runs the demo in a fresh clone, and last builds, installs, runs
# and purges the Debian package.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/deps.sh"
# Exim for its tests, unpacked under build/exim and never installed.
"$root/scripts/exim-fetch.sh"

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:${ASAN_OPTIONS:-}"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:${UBSAN_OPTIONS:-}"

# The servers live under build/dbs; the tests find them through the env
# file and fail, rather than skip, when one is missing.
dbs="$root/build/dbs"
trap '"$root/scripts/db-servers.sh" stop "$dbs" || true' EXIT
echo "== database servers"
"$root/scripts/db-servers.sh" start "$dbs"
export QM_DB_SERVERS_ENV="$dbs/servers.env"
export QM_REQUIRE_DB_SERVERS=1

status=0
passed=0
failed=0
# An unformatted file fails the run, but the tests still run and report.
echo "== format"
if ! "$root/scripts/format-check.sh"; then
  status=1
  failed=$((failed + 1))
fi
for flavour in plain sanitize; do
  echo "== build and test: $flavour"
  "$root/scripts/build.sh" "$flavour"
  log="$root/build/$flavour/ctest-output.txt"
  if ! (cd "$root/build/$flavour" && ctest --output-on-failure -j "$(nproc)") 2>&1 | tee "$log"; then
    status=1
  fi
  # "N% tests passed, F tests failed out of T"
  if summary=$(grep -E '^[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -n 1); then
    f=$(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\1/' <<<"$summary")
    t=$(sed -E 's/.* out of ([0-9]+).*/\1/' <<<"$summary")
    passed=$((passed + t - f))
    failed=$((failed + f))
  else
    status=1
  fi
done
echo "== fuzz targets"
if ! "$root/scripts/fuzz.sh" "${QM_FUZZ_SECONDS:-20}"; then
  status=1
  failed=$((failed + 1))
fi
# The demo as a newcomer meets it: set up in a fresh clone, without a terminal.
echo "== demo"
if ! "$root/scripts/demo-test.sh"; then
  status=1
  failed=$((failed + 1))
fi
# The Debian package: built, installed, run and purged again.
echo "== package"
if ! "$root/scripts/package-test.sh"; then
  status=1
  failed=$((failed + 1))
fi
# One closing line for both builds, the fuzz run, the demo and the package.
echo "tests: $passed passed, $failed failed"
exit $status
