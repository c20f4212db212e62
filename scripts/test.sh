#!/usr/bin/env bash
# The test command: installs what is missing, builds the tree plainly and
# under AddressSanitizer + UndefinedBehaviorSanitizer, and runs every test
# in both builds against private PostgreSQL and MariaDB servers (started once
# for both runs and stopped on every exit), then runs every fuzz target for
# about 20 s.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/deps.sh"

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:${ASAN_OPTIONS:-}"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:${UBSAN_OPTIONS:-}"

# The servers live under build/dbs; the tests find them through the env
# file and fail, rather than skip, when one is missing.
dbs="$root/build/dbs"
trap '"$root/scripts/db-servers.sh" stop "$dbs" || true' EXIT
"$root/scripts/db-servers.sh" start "$dbs"
export QM_DB_SERVERS_ENV="$dbs/servers.env"
export QM_REQUIRE_DB_SERVERS=1

status=0
for flavour in plain sanitize; do
  echo "== build and test: $flavour"
  "$root/scripts/build.sh" "$flavour"
  if ! (cd "$root/build/$flavour" && ctest --output-on-failure -j "$(nproc)"); then
    status=1
  fi
done
echo "== fuzz targets"
if ! "$root/scripts/fuzz.sh" "${QM_FUZZ_SECONDS:-20}"; then
  status=1
fi
exit $status
