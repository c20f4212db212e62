#!/usr/bin/env bash
# The benchmark command: installs what is missing (among it the peer program
# the benchmark compares against, squid's basic_db_auth, a Perl helper, with
# its SQLite and PostgreSQL drivers), builds the benchmark and runs it on
# SQLite and on PostgreSQL (a private server, stopped on every exit).
#
#   scripts/bench.sh [quillmar_bench options, e.g. --checks 20000]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"

"$root/scripts/deps.sh"

build="$root/build/bench"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" --target quillmar quillmar_bench scheme_bench scheme_check_bench hash_timer -j2

dbs="$build/dbs"
trap '"$root/scripts/db-servers.sh" stop "$dbs" || true' EXIT
"$root/scripts/db-servers.sh" start "$dbs" pg
export QM_DB_SERVERS_ENV="$dbs/servers.env"

# Everything measured runs on one CPU (QM_BENCH_CPU, by default the last):
# the benchmark, the programs it drives and the PostgreSQL server with every
# backend it forks. On a small virtual machine a wake-up on another CPU
# costs more than a whole check, and which CPU each side lands on changes
# from run to run; on one CPU every program pays the same switches.
cpu="${QM_BENCH_CPU:-$(( $(nproc) - 1 ))}"
pin=()
if command -v taskset >/dev/null 2>&1; then
  pin=(taskset -c "$cpu")
  postmaster="$(head -n 1 "$dbs/pg/data/postmaster.pid")"
  for pid in "$postmaster" $(pgrep -P "$postmaster" || true); do
    taskset -a -p -c "$cpu" "$pid" >/dev/null
  done
  echo "benchmark, its children and the PostgreSQL server on CPU $cpu"
fi

for db in sqlite postgres; do
  echo "== $db"
  "${pin[@]}" "$build/bench/quillmar_bench" --db "$db" --memory 0 "$@"
done
echo "== password schemes"
"${pin[@]}" "$build/bench/scheme_bench" --seconds 5
echo "== password schemes through the whole authenticator (SQLite)"
"${pin[@]}" "$build/bench/scheme_check_bench" --checks 5000 --argon-checks 200
