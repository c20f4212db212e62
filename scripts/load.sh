#!/usr/bin/env bash
# The service under load, for docs/benchmarks.md's figures: `quillmar -serve` with
# its auth socket (`listen_auth`) on a user table in a private PostgreSQL
# primary with a hot standby behind it (scripts/db-servers.sh, pg-pair,
# stopped on every exit), driven by bench/auth_load: N clients at once
# checking in a loop, every second password wrong.
#
#   scripts/load.sh [-s SECONDS] [-c CLIENTS] [-p dovecot|http|all|shared|cost]
#                   [-b OTHER_QUILLMAR] [-t tcp|socket] [-i]
#                   (30 s, 200 clients, both protocols, PostgreSQL over TCP)
#
# -b runs every row twice, with this tree's quillmar and with OTHER_QUILLMAR
# (another build, e.g. main's), alternating which goes first, so that both
# meet the same load of the machine; the label says which ("other").
#
# -t socket reaches PostgreSQL through its Unix socket rather than over
# loopback TCP, as a database on the same machine is usually reached; TCP's
# own work in the kernel is then no longer part of each worker's query.
#
# -i keeps idle processors polling rather than halted for the run (a
# latency request of 0 us on /dev/cpu_dma_latency, as a host tuned for
# latency holds one; it ends with the run). In a virtual machine whose
# idle processors halt at once, every wake-up of a process on an idle
# processor pays the hypervisor's wake-up of that processor: a service
# that wakes less often then leaves the processors idle more often, and
# the database's round trips on the same machine grow slower for it.
#
# -p cost runs the Dovecot protocol's PLAIN rows only and adds where the
# service's time goes: processor time per check in the supervisor and in
# the workers, context switches per check (voluntary and not, from
# /proc/PID/status) and system calls per check (perf stat's
# raw_syscalls:sys_enter, when perf is there), each for the supervisor
# and for the workers together; and beside them the processor time per
# check of the database servers and of the generator, and the share of the
# machine left idle, which together say how far the service's own cost
# decides the checks a second.
#
# Every row answers refusals at once (auth_failure_delay 0): the figures are
# the service's passage, not the wait it puts before a wrong password's
# answer (bench/auth_load_test.cpp measures that wait under load).
#
# -p shared runs only the shared state's rows: PLAIN without the cache, 2
# workers, the throttle on (a limit no second reaches), every password right
# and every password wrong, each without and with shared_redis (a private
# redis-server on loopback, stopped on every exit).
#
# Runs, each on a service started afresh:
#   - PLAIN stored values without and with the answer cache, ARGON2ID ones
#     without (at a few checks a second, no user comes back within the
#     run), each with 1 worker and with 2 (`workers`): checks a second,
#     p50/p99 latency, wrong answers, temporary failures, the memory of the
#     service and its workers (RSS and PSS summed, taken halfway through),
#     their processor time per check, and the machine's load average;
#   - a worker SIGKILLed a third of the way through (2 workers, PLAIN, no
#     cache): the temporary failures it cost and when the requests asked
#     before it were all answered (those queued for it wait for the worker
#     started in its place);
#   - the serving database server SIGKILLed a third of the way through, its
#     standby promoted: the same, and no wrong answer;
#   - nginx's auth_http (`listen_http` on loopback TCP), auth_load --http:
#     a connection per check as nginx's mail proxy makes, PLAIN without and
#     with the cache, 1 worker and 2, the same figures ("http" rows).
#     ARGON2ID is left out: the hash costs the same whatever the protocol.
# The generator shares the machine with the service: on two cores it takes
# part of what the workers could have.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
seconds=30
clients=200
protocols=all
other=""
transport=tcp
idle_poll=""
while getopts "s:c:p:b:t:i" option; do
  case "$option" in
    s) seconds="$OPTARG" ;;
    c) clients="$OPTARG" ;;
    p) protocols="$OPTARG" ;;
    b) other="$(realpath "$OPTARG")" ;;
    t) transport="$OPTARG" ;;
    i) idle_poll=1 ;;
    *) echo "usage: $0 [-s SECONDS] [-c CLIENTS] [-p dovecot|http|all|shared|cost] [-b OTHER_QUILLMAR] [-t tcp|socket] [-i]" >&2; exit 2 ;;
  esac
done
case "$protocols" in
  dovecot | http | all | shared | cost) ;;
  *) echo "load: -p wants dovecot, http, all, shared or cost" >&2; exit 2 ;;
esac
case "$transport" in
  tcp | socket) ;;
  *) echo "load: -t wants tcp or socket" >&2; exit 2 ;;
esac
if [ -n "$other" ] && [ ! -x "$other" ]; then echo "load: -b $other is no program" >&2; exit 2; fi
users=1000

"$root/scripts/deps.sh"
build="$root/build/bench"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" --target quillmar quillmar-pw auth_load -j2 >/dev/null
quillmar="$build/src/quillmar"
[ -x "$quillmar" ] || quillmar="$(find "$build" -name quillmar -type f -perm -u+x | head -n 1)"
ours="$quillmar"
pw="$(find "$build" -name quillmar-pw -type f -perm -u+x | head -n 1)"
load="$build/bench/auth_load"

work="$build/load"
dbs="$work/dbs"
service=""
# SIGTERM, and what the service did with it: its exit status and how long
# it took (a service still there after 30 s is killed).
stop_service() {
  [ -n "$service" ] || return 0
  local from=$SECONDS status=0 killed=""
  kill -TERM "$service" 2>/dev/null || true
  for _ in $(seq 1 300); do kill -0 "$service" 2>/dev/null || break; sleep 0.1; done
  if kill -KILL "$service" 2>/dev/null; then killed=" (killed after 30 s)"; fi
  wait "$service" 2>/dev/null || status=$?
  echo "SIGTERM: the service exited $status after $((SECONDS - from)) s$killed"
  service=""
}
redis=""
stop_redis() { if [ -n "$redis" ]; then kill -KILL "$redis" 2>/dev/null || true; wait "$redis" 2>/dev/null || true; redis=""; fi; }
latency_hold=""
stop_latency_hold() { if [ -n "$latency_hold" ]; then kill "$latency_hold" 2>/dev/null || true; wait "$latency_hold" 2>/dev/null || true; fi; }
trap 'stop_service; stop_redis; stop_latency_hold; "$root/scripts/db-servers.sh" stop "$dbs" >/dev/null 2>&1 || true' EXIT
rm -rf "$work"
mkdir -p "$work"

if [ -n "$idle_poll" ]; then
  [ -w /dev/cpu_dma_latency ] || { echo "load: -i wants to write /dev/cpu_dma_latency (root)" >&2; exit 2; }
  # The request holds while the file stays open, and ends with the process.
  python3 -c 'import struct, sys, time
f = open("/dev/cpu_dma_latency", "wb", buffering=0)
f.write(struct.pack("i", 0))
sys.stdout.close()
while True: time.sleep(3600)' &
  latency_hold=$!
  echo "== idle processors poll for this run (/dev/cpu_dma_latency 0)"
fi
echo "== database: a PostgreSQL primary and its hot standby"
"$root/scripts/db-servers.sh" start "$dbs" pg-pair
# shellcheck disable=SC1091
. "$dbs/servers.env"
psql_pg() {
  local sql="$1" sock="$2" port="$3"
  if [ "$(id -u)" -eq 0 ]; then
    (cd / && runuser -u postgres -- "$QM_PG_BIN/psql" -h "$sock" -p "$port" -U postgres -d quillmar -qAt -c "$sql")
  else
    "$QM_PG_BIN/psql" -h "$sock" -p "$port" -U postgres -d quillmar -qAt -c "$sql"
  fi
}
# Every user has a password of its own in the PLAIN table; the ARGON2ID
# table holds one value (the hash costs the same whatever the password) for
# a password all its users share.
argon="$(printf 'argon-secret\n' | "$pw" -s ARGON2ID)"
psql_pg "CREATE TABLE users_plain (username text PRIMARY KEY, password text);
  INSERT INTO users_plain SELECT 'user' || i || '@example.org', 'pw-' || i FROM generate_series(1, $users) i;
  CREATE TABLE users_argon (username text PRIMARY KEY, password text);
  INSERT INTO users_argon SELECT 'user' || i || '@example.org', '$argon' FROM generate_series(1, $users) i;
  GRANT SELECT ON users_plain, users_argon TO quillmar;" "$QM_PG_SOCKET_DIR" "$QM_PG_PORT"
for _ in $(seq 1 100); do
  [ "$(psql_pg 'SELECT COUNT(*) FROM users_argon' "$QM_PG2_SOCKET_DIR" "$QM_PG2_PORT" 2>/dev/null)" = "$users" ] && break
  sleep 0.1
done
for i in $(seq 1 "$users"); do echo "user$i@example.org pw-$i"; done >"$work/users_plain"
for i in $(seq 1 "$users"); do echo "user$i@example.org argon-secret"; done >"$work/users_argon"

# The data source lists both servers; the driver takes the first that
# answers (see docs/databases.md, "More than one database server").
driver="$(dpkg -L odbc-postgresql | grep '/psqlodbca\.so$' | head -n 1)"
mkdir -p "$work/odbc"
# The server's Unix socket is a folder name where an address would be.
pg_hosts=127.0.0.1,127.0.0.1
[ "$transport" = socket ] && pg_hosts="$QM_PG_SOCKET_DIR,$QM_PG2_SOCKET_DIR"
: >"$work/odbc/odbcinst.ini"
cat >"$work/odbc/odbc.ini" <<EOF
[quillmar]
Driver = $driver
Servername = $pg_hosts
pqopt = port=$QM_PG_PORT,$QM_PG2_PORT
Database = quillmar
Username = quillmar
Password = qm-secret
EOF
export ODBCSYSINI="$work/odbc" ODBCINI="$work/odbc/odbc.ini"

socket="$work/auth"
# A loopback port for listen_http, free when asked.
http_port="$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')"
# start_service WORKERS TABLE CACHE_TTL
# The PLAIN table is compared by the database, the ARGON2ID one verified by
# the service (default_pass_scheme). listen_http is there in every run
# (nginx wants a back end for a right password: proxy_default_host); the
# auth socket's appearing says the service is up.
start_service() {
  local scheme=""
  [ "$2" = users_argon ] && scheme="default_pass_scheme ARGON2ID"
  cat >"$work/quillmar.ini" <<EOF
$scheme
log_path $work/quillmar.log
odbc_driver_name quillmar
odbc_mail_user_table $2
field_username username
field_password password
odbc_fast_path true
cache_ttl $3
cache_negative_ttl $(( $3 > 0 ? 60 : 0 ))
listen_auth $socket
listen_http 127.0.0.1:$http_port
proxy_default_host 127.0.0.1
workers $1
$extra_ini
EOF
  rm -f "$socket"
  "$quillmar" -serve -config "$work/quillmar.ini" >>"$work/serve.out" 2>&1 &
  service=$!
  for _ in $(seq 1 300); do
    [ -S "$socket" ] && return 0
    kill -0 "$service" 2>/dev/null || break
    sleep 0.1
  done
  echo "load: the service did not make $socket; its output and log:" >&2
  tail -n 20 "$work/serve.out" "$work/quillmar.log" >&2 2>/dev/null || true
  exit 1
}

# The front end and its workers: resident and proportional sizes, in MiB.
memory() {
  local rss=0 pss=0 pid
  for pid in "$service" $(pgrep -P "$service" || true); do
    read -r r p < <(awk '/^Rss:/ { r = $2 } /^Pss:/ { p = $2 } END { print r + 0, p + 0 }' \
      "/proc/$pid/smaps_rollup" 2>/dev/null || echo "0 0")
    rss=$((rss + r))
    pss=$((pss + p))
  done
  echo "$((rss / 1024)) $((pss / 1024))"
}

# Processor time of the front end and its workers so far, in clock ticks:
# divided by the checks it gives a cost that does not depend on how many
# other programs share the machine, as checks a second do.
ticks() {
  local total=0 pid t
  for pid in "$service" $(pgrep -P "$service" || true); do
    t="$(awk '{ sub(/^.*\) /, ""); print $12 + $13 }' "/proc/$pid/stat" 2>/dev/null || echo 0)"
    total=$((total + t))
  done
  echo "$total"
}
hz="$(getconf CLK_TCK)"
ticks_of() { awk '{ sub(/^.*\) /, ""); print $12 + $13 }' "/proc/$1/stat" 2>/dev/null || echo 0; }
switches_of() {
  awk '/^(non)?voluntary_ctxt_switches:/ { n += $2 } END { print n + 0 }' "/proc/$1/status" 2>/dev/null || echo 0
}
# sum FUNCTION PID...: FUNCTION's figure summed over the processes.
sum() {
  local f="$1" total=0 pid
  shift
  for pid in "$@"; do total=$((total + $("$f" "$pid"))); done
  echo "$total"
}
# The database servers' processes (both postmasters and their children):
# their time per check beside the service's shows what each check costs
# the machine as a whole.
db_ticks() {
  local pids=() main
  for main in $(head -qn 1 "$QM_PG_DATA/postmaster.pid" "$QM_PG2_DATA/postmaster.pid" 2>/dev/null); do
    pids+=("$main" $(pgrep -P "$main" || true))
  done
  sum ticks_of "${pids[@]}"
}
# Idle and all processor time of the machine so far, in clock ticks.
machine_ticks() { awk '/^cpu / { print $5 + $6, $2 + $3 + $4 + $5 + $6 + $7 + $8 + $9; exit }' /proc/stat; }
per_check() { awk -v a="$1" -v n="$2" -v scale="${3:-1}" 'BEGIN { printf "%.3f", (n > 0 ? a * scale / n : 0) }'; }
cost_rows=()

# field REPORT PATTERN: the first number after PATTERN in the report.
field() { grep -o "$2 [0-9.]*" <<<"$1" | head -n 1 | awk '{ print $NF }'; }

rows=()
# measure LABEL WORKERS TABLE CACHE_TTL [auth_load options...]
# The Dovecot protocol on the auth socket, or auth_http when LABEL begins
# with "http".
measure() {
  local label="$1" workers="$2" table="$3" cache="$4" target=(--socket "$socket")
  shift 4
  [ "${label%% *}" = http ] && target=(--http "127.0.0.1:$http_port")
  start_service "$workers" "$table" "$cache"
  echo "== $label, workers $workers ($quillmar)"
  local before
  before="$(ticks)"
  local kids=() sup_t0 wrk_t0 sup_s0 wrk_s0 db_t0 idle0 all0 perf_pid="" perf_out="$work/perf.out"
  if [ "$protocols" = cost ]; then
    sleep 0.5  # the workers started and connected
    mapfile -t kids < <(pgrep -P "$service")
    sup_t0="$(ticks_of "$service")" wrk_t0="$(sum ticks_of "${kids[@]}")"
    sup_s0="$(switches_of "$service")" wrk_s0="$(sum switches_of "${kids[@]}")"
    db_t0="$(db_ticks)"
    read -r idle0 all0 < <(machine_ticks)
    if command -v perf >/dev/null; then
      perf stat -x, --per-thread -e raw_syscalls:sys_enter -o "$perf_out" \
        -p "$(IFS=,; echo "$service,${kids[*]}")" >/dev/null 2>&1 &
      perf_pid=$!
    fi
  fi
  "$load" "${target[@]}" --users "$work/$table" --clients "$clients" --seconds "$seconds" \
    --drain 300 "$@" >"$work/report" 2>&1 &
  local generator=$!
  sleep "$(( seconds / 2 ))"
  local mem busy
  mem="$(memory)"
  # The machine's load (runnable processes, a minute's average) halfway.
  busy="$(cut -d' ' -f1 /proc/loadavg)"
  local status=0
  wait "$generator" || status=$?
  local used
  used=$(($(ticks) - before))
  cat "$work/report"
  local report checks
  report="$(cat "$work/report")"
  checks="$(field "$report" 'checks:')"
  if [ "$protocols" = cost ]; then
    local sup_t wrk_t sup_s wrk_s sup_c="-" wrk_c="-" db_t idle all
    db_t=$(($(db_ticks) - db_t0))
    read -r idle all < <(machine_ticks)
    sup_t=$(($(ticks_of "$service") - sup_t0)) wrk_t=$(($(sum ticks_of "${kids[@]}") - wrk_t0))
    sup_s=$(($(switches_of "$service") - sup_s0)) wrk_s=$(($(sum switches_of "${kids[@]}") - wrk_s0))
    if [ -n "$perf_pid" ]; then
      kill -INT "$perf_pid" 2>/dev/null || true
      wait "$perf_pid" 2>/dev/null || true
      # --per-thread lines: "comm-PID,count,..."; the supervisor's own, the rest the workers'.
      sup_c="$(awk -F, -v p="$service" '$1 ~ "-"p"$" { n += $2 } END { print n + 0 }' "$perf_out")"
      wrk_c="$(awk -F, -v p="$service" '$1 ~ /-[0-9]+$/ && $1 !~ "-"p"$" { n += $2 } END { print n + 0 }' "$perf_out")"
      sup_c="$(per_check "$sup_c" "$checks")" wrk_c="$(per_check "$wrk_c" "$checks")"
    fi
    # The generator reports its own time; the idle share counts from the
    # generator's start to its end, its connecting and draining included.
    cost_rows+=("$(printf '%-30s %7s %9s %9s %9s %9s %9s %9s %7s %7s %5s %5s' "$label" "$workers" \
      "$(per_check "$sup_t" "$checks" "$((1000 / hz))")" "$(per_check "$wrk_t" "$checks" "$((1000 / hz))")" \
      "$sup_c" "$wrk_c" "$(per_check "$sup_s" "$checks")" "$(per_check "$wrk_s" "$checks")" \
      "$(per_check "$db_t" "$checks" "$((1000 / hz))")" \
      "$(awk -v us="$(field "$report" 'generator:')" 'BEGIN { printf "%.3f", us / 1000 }')" \
      "$(awk -v i="$((idle - idle0))" -v a="$((all - all0))" 'BEGIN { printf "%.0f%%", (a > 0 ? 100 * i / a : 0) }')" \
      "$(cut -d' ' -f1 /proc/loadavg)")")
  fi
  rows+=("$(printf '%-22s %7s %9s %9s %9s %6s %6s %9s %9s %5s' "$label" "$workers" \
    "$(grep -o '([0-9]* a second)' <<<"$report" | tr -dc 0-9)" \
    "$(field "$report" 'p50')" "$(field "$report" 'p99')" \
    "$(field "$report" 'wrong answers:')" "$(field "$report" 'FAIL temp')" \
    "${mem% *}/${mem#* }" \
    "$(awk -v t="$used" -v hz="$hz" -v n="$checks" 'BEGIN { printf "%.3f", (n > 0 ? t * 1000 / hz / n : 0) }')" \
    "$busy")")
  stop_service
  [ "$status" -eq 0 ] || echo "load: auth_load exited $status" >&2
}

table() {
  echo
  echo "== $clients clients for $seconds s, $users users, every second password wrong, PostgreSQL over $transport${idle_poll:+, idle processors polling}"
  printf '%-22s %7s %9s %9s %9s %6s %6s %9s %9s %5s\n' "stored values" workers "checks/s" "p50 ms" \
    "p99 ms" wrong temp "MiB r/p" "cpu ms/ck" load
  printf '%s\n' "${rows[@]}"
  if [ "${#cost_rows[@]}" -gt 0 ]; then
    echo
    echo "== where the service's time goes, per check: supervisor (sup) and workers (wrk);"
    echo "   beside it the database servers' (db) and the generator's (gen), and the machine's idle share"
    printf '%-30s %7s %9s %9s %9s %9s %9s %9s %7s %7s %5s %5s\n' "stored values" workers "sup ms" "wrk ms" \
      "sup calls" "wrk calls" "sup cs" "wrk cs" "db ms" "gen ms" idle load
    printf '%s\n' "${cost_rows[@]}"
  fi
}
# measure_each: measure with this tree's quillmar and, with -b, the other,
# in turns that alternate which goes first.
turn=0
measure_each() {
  local label="$1"
  shift
  if [ -z "$other" ]; then quillmar="$ours"; measure "$label" "$@"; return; fi
  local order=("$ours" "$other")
  [ $((turn % 2)) -eq 1 ] && order=("$other" "$ours")
  turn=$((turn + 1))
  for quillmar in "${order[@]}"; do
    if [ "$quillmar" = "$other" ]; then measure "$label, other" "$@"; else measure "$label" "$@"; fi
  done
  quillmar="$ours"
}
if [ "$protocols" = shared ]; then
  redis_port="$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')"
  mkdir -p "$work/redis"
  printf 'port %s\nbind 127.0.0.1\nsave ""\nappendonly no\ndir %s\nlogfile %s/redis.log\n' \
    "$redis_port" "$work/redis" "$work/redis" >"$work/redis/redis.conf"
  redis-server "$work/redis/redis.conf" &
  redis=$!
  for _ in $(seq 1 100); do [ "$(redis-cli -p "$redis_port" ping 2>/dev/null)" = PONG ] && break; sleep 0.1; done
  head -c 48 /dev/urandom | base64 >"$work/secret"
  chmod 600 "$work/secret"
  throttle="auth_failure_delay 0
auth_failure_limit 32767 1
auth_failure_table $work/auth-failures
cache_flush_path $work/cache-flush"
  shared="shared_redis 127.0.0.1:$redis_port
shared_secret_file $work/secret"
  for wrong in 0 1; do
    path=right
    [ "$wrong" = 1 ] && path=wrong
    extra_ini="$throttle"
    measure "$path, local" 2 users_plain 0 --wrong-every "$wrong" --param rip=192.0.2.1
    extra_ini="$throttle
$shared"
    measure "$path, shared_redis" 2 users_plain 0 --wrong-every "$wrong" --param rip=192.0.2.1
  done
  table
  echo "keys in Redis: $(redis-cli -p "$redis_port" dbsize)"
  exit 0
fi
extra_ini="auth_failure_delay 0"
if [ "$protocols" = cost ]; then
  # A first short run warms PostgreSQL and the page cache; not counted, so
  # that the first row is no colder than the rest.
  start_service 2 users_plain 0
  "$load" --socket "$socket" --users "$work/users_plain" --clients "$clients" --seconds 5 \
    >/dev/null 2>&1 || true
  stop_service >/dev/null
  measure_each "PLAIN, no cache" 1 users_plain 0
  measure_each "PLAIN, no cache" 2 users_plain 0
  measure_each "PLAIN, cache" 1 users_plain 600
  measure_each "PLAIN, cache" 2 users_plain 600
  table
  exit 0
fi
if [ "$protocols" != http ]; then
  measure_each "PLAIN, no cache" 1 users_plain 0
  measure_each "PLAIN, no cache" 2 users_plain 0
  measure_each "PLAIN, cache" 1 users_plain 600
  measure_each "PLAIN, cache" 2 users_plain 600
  measure_each "ARGON2ID, no cache" 1 users_argon 0
  measure_each "ARGON2ID, no cache" 2 users_argon 0
fi
if [ "$protocols" != dovecot ]; then
  for workers in 1 2; do measure_each "http PLAIN, no cache" "$workers" users_plain 0; done
  for workers in 1 2; do measure_each "http PLAIN, cache" "$workers" users_plain 600; done
fi
if [ "$protocols" = http ]; then
  table
  exit 0
fi

third=$(( seconds / 3 ))
# The worker killed: the first child of the front end, once it runs.
start_service 2 users_plain 0
worker="$(pgrep -P "$service" | head -n 1)"
echo "== a worker ($worker) SIGKILLed at $third s, workers 2"
"$load" --socket "$socket" --users "$work/users_plain" --clients "$clients" --seconds "$seconds" \
  --kill "$worker" --kill-at "$third" --drain 60 | tee "$work/report-kill" || true
stop_service
echo "== the database server SIGKILLed at $third s, its standby promoted, workers 2"
start_service 2 users_plain 0
"$load" --socket "$socket" --users "$work/users_plain" --clients "$clients" --seconds "$seconds" \
  --run "'$root/scripts/db-servers.sh' signal '$dbs' pg KILL && '$root/scripts/db-servers.sh' promote '$dbs'" \
  --run-at "$third" --drain 60 | tee "$work/report-db" || true
stop_service

table
grep -h '^kill \|^run ' "$work/report-kill" "$work/report-db" || true
