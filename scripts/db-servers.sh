#!/usr/bin/env bash
# Starts and stops private PostgreSQL and MariaDB servers for the tests: each
# with its own data directory under the given folder, listening on loopback
# and a unix socket there, on a free port. Nothing touches a system cluster.
#
#   db-servers.sh start DIR [SET]  writes DIR/servers.env; SET is one of
#       (none)        a PostgreSQL and a MariaDB server (QM_PG_*, QM_MARIADB_*)
#       pg, mariadb   only that one
#       pg-pair       a PostgreSQL primary and a streaming hot standby of it
#                     (QM_PG_*, QM_PG2_*)
#       pg-trio       a PostgreSQL primary and two streaming hot standbys of it
#                     (QM_PG_*, QM_PG2_*, QM_PG3_*)
#       mariadb-pair  two MariaDB servers, the second replicating the first
#                     (QM_MARIADB_*, QM_MARIADB2_*)
#   db-servers.sh stop DIR     stops them (also after a failed start), and the
#                              sets started in DIR/own/* by the tests
#   db-servers.sh halt DIR     stops them but keeps data, ports and servers.env
#   db-servers.sh resume DIR [SERVER]  starts halted or killed servers (or that
#                              one) again on the same ports
#   db-servers.sh signal DIR SERVER SIG   sends SIG (KILL, STOP, CONT) to all
#                              processes of SERVER (pg, pg2, pg3, mariadb, mariadb2)
#   db-servers.sh promote DIR  makes the standby pg2 a primary
# halt, resume, signal and promote let a test take a database away in the
# middle of a session. Every failure says on standard error what failed.
set -Eeuo pipefail

cmd="${1:-}"
dir="${2:-}"
usage="usage: $0 start|stop|halt|resume|signal|promote DIR [pg|mariadb|pg-pair|pg-trio|mariadb-pair]"
[ -n "$cmd" ] && [ -n "$dir" ] || { echo "$usage" >&2; exit 2; }
mkdir -p "$dir"
dir="$(cd "$dir" && pwd)"
pgbin="$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1)"
servers=(pg pg2 pg3 mariadb mariadb2)

# A step that failed without a word of its own is still named on the terminal.
trap 'echo "db-servers.sh $cmd: failed (line $LINENO: $BASH_COMMAND)" >&2' ERR

# Says what failed and shows the end of the log that holds the reason.
fail() {
  echo "db-servers.sh $cmd: $1" >&2
  if [ -n "${2:-}" ] && [ -f "$2" ]; then
    echo "-- last lines of $2:" >&2
    tail -n 20 "$2" | sed 's/^/   /' >&2
  fi
  trap - ERR
  exit 1
}

# A port below the kernel's range for outgoing connections: one there may be
# taken as the source port of any loopback client between this check and
# the server's bind (a test's server once failed so on a busy run).
free_port() {
  local p low=32768
  read -r low _ </proc/sys/net/ipv4/ip_local_port_range 2>/dev/null || true
  [ "$low" -gt 11000 ] 2>/dev/null || low=32768
  for _ in $(seq 1 200); do
    p=$(( 10000 + RANDOM % (low - 10000) ))
    # Not in use, and not the port of a server here that is not up yet.
    if ! (exec 3<>"/dev/tcp/127.0.0.1/$p") 2>/dev/null && ! cat "$dir"/*/port 2>/dev/null | grep -qx "$p"; then
      echo "$p"; return 0
    fi
  done
  return 1
}

# PostgreSQL refuses to run as root: it runs as the postgres user, from a
# folder it can enter.
as_pg() {
  if [ "$(id -u)" -eq 0 ]; then (cd / && runuser -u postgres -- "$@"); else "$@"; fi
}

# A PostgreSQL folder lives in DIR unless the postgres user cannot reach DIR
# (a checkout in root's home, mode 0700): then it lives in a folder of its
# own under /tmp, and DIR/NAME is a link to it. Its programs are given the
# folder's own path, never one through the link.
pg_dir() {
  readlink -f "$dir/$1"
}

make_pg_base() {
  local base="$dir/$1"
  if as_pg test -x "$dir"; then
    mkdir -p "$base"
  else
    ln -s "$(mktemp -d /tmp/qm-pg.XXXXXX)" "$base"
  fi
  mkdir -p "$base/sock"
  if [ "$(id -u)" -eq 0 ]; then chown -R postgres:postgres "$base/"; fi
}

remove_base() {
  local base="$dir/$1"
  if [ -L "$base" ]; then rm -rf "$(readlink "$base")"; fi
  rm -rf "$base"
}

# A killed process may stay a zombie for a while here: it counts as gone
# once every thread of it is a zombie (the first thread turns one before the
# others have let go of the sockets). Read from /proc, since a ps for each of
# many processes is slow on a busy machine.
alive() {
  local task key value
  for task in /proc/"$1"/task/*; do
    { while read -r key value; do
        if [ "$key" = State: ]; then
          [ "${value:0:1}" = Z ] || return 0
          break
        fi
      done <"$task/status"; } 2>/dev/null
  done
  return 1
}

# The process id of a running server, nothing when it is not running.
server_pid() {
  local file pid
  case "$1" in
    pg*) file="$dir/$1/data/postmaster.pid" ;;
    *) file="$dir/$1/mysqld.pid" ;;
  esac
  [ -f "$file" ] || return 0
  pid="$(head -n 1 "$file")"
  if [ -n "$pid" ] && alive "$pid"; then echo "$pid"; fi
}

# The signal reaches the server and every process it started at once, as a
# crash or a hang of the machine would (PostgreSQL's backends each lead a
# process group of their own, so a group signal would miss them).
signal_server() {
  local pid
  pid="$(server_pid "$1")"
  [ -n "$pid" ] || fail "$1 is not running"
  local pids
  read -r -a pids <<<"$pid $(cat "/proc/$pid/task/$pid/children" 2>/dev/null || true)"
  kill -s "$2" "${pids[@]}"
  # Killed means gone: a test goes on only once nothing of it answers.
  if [ "$2" = KILL ] || [ "$2" = 9 ]; then
    for _ in $(seq 1 1000); do
      local left=0 p
      for p in "${pids[@]}"; do if alive "$p"; then left=1; fi; done
      [ "$left" = 0 ] && return 0
      sleep 0.01
    done
    fail "$1 did not die"
  fi
}

launch_pg() {
  local base
  base="$(pg_dir "$1")"
  as_pg "$pgbin/pg_ctl" -D "$base/data" -l "$base/server.log" -w -t 60 \
    -o "-c listen_addresses=127.0.0.1 -p $(cat "$base/port") -k $base/sock -c fsync=off" \
    start >/dev/null || fail "PostgreSQL server $1 did not start" "$base/server.log"
}

start_pg() {
  local base port
  port="$(free_port)"
  remove_base pg
  make_pg_base pg
  base="$(pg_dir pg)"
  echo "$port" >"$base/port"
  as_pg "$pgbin/initdb" -D "$base/data" -U postgres --auth-local=trust --auth-host=scram-sha-256 -E UTF8 --locale=C \
    >"$base/initdb.log" 2>&1 || fail "initdb as the postgres user failed" "$base/initdb.log"
  launch_pg pg
  as_pg "$pgbin/psql" -h "$base/sock" -p "$port" -U postgres -q \
    -c "CREATE ROLE quillmar LOGIN CREATEDB PASSWORD 'qm-secret'" \
    -c "CREATE DATABASE quillmar OWNER quillmar" >/dev/null
  {
    echo "QM_PG_PORT=$port"
    echo "QM_PG_SOCKET_DIR=$base/sock"
    echo "QM_PG_DATA=$base/data"
    echo "QM_PG_BIN=$pgbin"
  } >>"$dir/servers.env"
}

# A hot standby (pg2, or the NAME given) copied from the running primary;
# standby.signal and the primary's address come from pg_basebackup -R.
start_pg_standby() {
  local name="${1:-pg2}" key base port
  key="QM_$(echo "$name" | tr a-z A-Z)"
  port="$(free_port)"
  remove_base "$name"
  make_pg_base "$name"
  base="$(pg_dir "$name")"
  echo "$port" >"$base/port"
  as_pg "$pgbin/pg_basebackup" -h "$(pg_dir pg)/sock" -p "$(cat "$dir/pg/port")" -U postgres \
    -D "$base/data" -R -X stream -c fast >"$base/basebackup.log" 2>&1 ||
    fail "pg_basebackup of the standby failed" "$base/basebackup.log"
  [ -f "$base/data/standby.signal" ] || fail "pg_basebackup wrote no standby.signal"
  launch_pg "$name"
  {
    echo "${key}_PORT=$port"
    echo "${key}_SOCKET_DIR=$base/sock"
    echo "${key}_DATA=$base/data"
  } >>"$dir/servers.env"
}

launch_mariadb() {
  local base="$dir/$1" args=()
  if [ -f "$base/args" ]; then read -r -a args <"$base/args"; fi
  # A temporary folder of its own: a MariaDB server starting removes every
  # "#sql*" file in its temporary folder, the temporary tables of any other
  # server there among them (which then fail their queries, or crash).
  mkdir -p "$base/tmp"
  # setsid: the server must not share the process group of whoever started
  # it, or a test runner ending that group would take the server along.
  setsid mariadbd --no-defaults --datadir="$base/data" --user="$(id -un)" \
    --tmpdir="$base/tmp" \
    --bind-address=127.0.0.1 --port="$(cat "$base/port")" --socket="$base/mysqld.sock" \
    --pid-file="$base/mysqld.pid" --log-error="$base/server.log" \
    --skip-name-resolve --innodb-flush-log-at-trx-commit=2 "${args[@]}" \
    </dev/null >/dev/null 2>&1 &
  for _ in $(seq 1 600); do
    [ -S "$base/mysqld.sock" ] && mariadb_root "$1" -e "SELECT 1" >/dev/null 2>&1 && return 0
    sleep 0.1
  done
  fail "MariaDB server $1 did not start" "$base/server.log"
}

mariadb_root() {
  local name="$1"
  shift
  mariadb --no-defaults -S "$dir/$name/mysqld.sock" -uroot "$@"
}

# NAME, then the server's own arguments (kept for resume). A second server
# starts from a copy of the first one's fresh data, which is quicker than
# installing again.
prepare_mariadb() {
  local name="$1" base="$dir/$1"
  shift
  remove_base "$name"
  mkdir -p "$base"
  free_port >"$base/port"
  echo "$*" >"$base/args"
  if [ "$name" = mariadb2 ]; then
    cp -a "$dir/mariadb/data" "$base/data"
  else
    mariadb-install-db --no-defaults --datadir="$base/data" --user="$(id -un)" \
      --auth-root-authentication-method=socket --skip-test-db >"$base/install.log" 2>&1 ||
      fail "mariadb-install-db failed" "$base/install.log"
  fi
}

start_mariadb() {
  local key=QM_MARIADB
  [ "$1" = mariadb ] || key=QM_MARIADB2
  launch_mariadb "$1"
  {
    echo "${key}_PORT=$(cat "$dir/$1/port")"
    echo "${key}_SOCKET=$dir/$1/mysqld.sock"
  } >>"$dir/servers.env"
}

# The replica's users and databases come from the primary's binary log.
mariadb_users() {
  local repl=""
  if [ "${1:-}" = replicated ]; then
    repl="CREATE USER 'repl'@'127.0.0.1' IDENTIFIED BY 'qm-repl';
          GRANT REPLICATION SLAVE ON *.* TO 'repl'@'127.0.0.1';"
  fi
  mariadb_root mariadb -e \
    "CREATE DATABASE quillmar; CREATE USER 'quillmar'@'localhost' IDENTIFIED BY 'qm-secret';
     CREATE USER 'quillmar'@'127.0.0.1' IDENTIFIED BY 'qm-secret';
     GRANT ALL ON *.* TO 'quillmar'@'localhost'; GRANT ALL ON *.* TO 'quillmar'@'127.0.0.1';
     $repl"
}

start_mariadb_replica() {
  start_mariadb mariadb2
  mariadb_root mariadb2 -e \
    "CHANGE MASTER TO MASTER_HOST='127.0.0.1', MASTER_PORT=$(cat "$dir/mariadb/port"),
       MASTER_USER='repl', MASTER_PASSWORD='qm-repl',
       MASTER_LOG_FILE='binlog.000001', MASTER_LOG_POS=4, MASTER_CONNECT_RETRY=1;
     START SLAVE;"
  for _ in $(seq 1 600); do
    [ "$(mariadb_root mariadb2 -N -e "SELECT COUNT(*) FROM mysql.user WHERE user='quillmar'")" = 2 ] &&
      return 0
    sleep 0.1
  done
  mariadb_root mariadb2 -e "SHOW SLAVE STATUS\G" >"$dir/mariadb2/slave-status.log" 2>&1 || true
  fail "the MariaDB replica did not catch up with its primary" "$dir/mariadb2/slave-status.log"
}

halt_server() {
  local name="$1" pid
  pid="$(server_pid "$name")"
  [ -n "$pid" ] || return 0
  # A stopped server must run again to hear that it is to end.
  signal_server "$name" CONT 2>/dev/null || true
  case "$name" in
    pg*) as_pg "$pgbin/pg_ctl" -D "$(pg_dir "$name")/data" -m fast -w stop >/dev/null 2>&1 || true ;;
    *)
      kill "$pid" 2>/dev/null || true
      for _ in $(seq 1 60); do alive "$pid" || break; sleep 0.5; done
      ;;
  esac
}

halt_all() {
  local name
  for name in "${servers[@]}"; do halt_server "$name"; done
}

stop_all() {
  local own
  for own in "$dir"/own/*/; do
    [ -d "$own" ] && "$0" stop "$own" 2>/dev/null || true
  done
  rm -rf "$dir/own"
  halt_all
  local name
  for name in pg pg2 pg3; do
    if [ -L "$dir/$name" ]; then remove_base "$name"; fi
  done
  rm -f "$dir/servers.env"
}

resume_all() {
  local name names=("$@")
  [ $# -gt 0 ] || names=("${servers[@]}")
  for name in "${names[@]}"; do
    if [ -f "$dir/$name/port" ] && [ -z "$(server_pid "$name")" ]; then
      case "$name" in
        # PostgreSQL takes a killed server's zombie for a live one and
        # would refuse its lock files.
        pg*)
          rm -f "$dir/$name/data/postmaster.pid" "$dir/$name"/sock/.s.PGSQL.*.lock
          launch_pg "$name"
          ;;
        *) launch_mariadb "$name" ;;
      esac
    fi
  done
}

case "$cmd" in
  start)
    stop_all
    for name in "${servers[@]}"; do remove_base "$name"; done
    : >"$dir/servers.env"
    # A failed start leaves nothing running.
    trap 'stop_all' EXIT
    case "${3:-both}" in
      pg) start_pg ;;
      mariadb) prepare_mariadb mariadb; start_mariadb mariadb; mariadb_users ;;
      pg-pair) start_pg; start_pg_standby ;;
      pg-trio) start_pg; start_pg_standby pg2; start_pg_standby pg3 ;;
      mariadb-pair)
        prepare_mariadb mariadb --server-id=1 --log-bin=binlog
        prepare_mariadb mariadb2 --server-id=2
        start_mariadb mariadb
        mariadb_users replicated
        start_mariadb_replica
        ;;
      both) start_pg; prepare_mariadb mariadb; start_mariadb mariadb; mariadb_users ;;
      *) echo "$usage" >&2; exit 2 ;;
    esac
    trap - EXIT
    ;;
  stop) stop_all ;;
  halt) halt_all ;;
  resume) resume_all ${3:+"$3"} ;;
  signal) signal_server "${3:?server}" "${4:?signal}" ;;
  promote)
    as_pg "$pgbin/pg_ctl" -D "$(pg_dir pg2)/data" -w -t 60 promote >/dev/null ||
      fail "the standby was not promoted" "$dir/pg2/server.log"
    ;;
  *) echo "$usage" >&2; exit 2 ;;
esac
