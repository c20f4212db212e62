#!/usr/bin/env bash
# Starts and stops private PostgreSQL and MariaDB servers for the tests: each
# with its own data directory under the given folder, listening on loopback
# and a unix socket there, on a free port. Nothing touches a system cluster.
#
#   db-servers.sh start DIR [pg|mariadb]   writes DIR/servers.env (QM_PG_*,
#                                          QM_MARIADB_*); both unless one is named
#   db-servers.sh stop DIR     stops them (also after a failed start)
#   db-servers.sh halt DIR     stops them but keeps data, ports and servers.env
#   db-servers.sh resume DIR   starts halted servers again on the same ports
# halt and resume let a test take the database away in the middle of a session.
set -euo pipefail

cmd="${1:-}"
dir="${2:-}"
[ -n "$cmd" ] && [ -n "$dir" ] || { echo "usage: $0 start|stop|halt|resume DIR [pg|mariadb]" >&2; exit 2; }
mkdir -p "$dir"
dir="$(cd "$dir" && pwd)"
pgbin="$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1)"

free_port() {
  local p
  for _ in $(seq 1 200); do
    p=$(( 20000 + RANDOM % 40000 ))
    if ! (exec 3<>"/dev/tcp/127.0.0.1/$p") 2>/dev/null; then
      echo "$p"; return 0
    fi
  done
  return 1
}

# PostgreSQL refuses to run as root: it runs as the postgres user.
as_pg() {
  if [ "$(id -u)" -eq 0 ]; then runuser -u postgres -- "$@"; else "$@"; fi
}

launch_pg() {
  local base="$dir/pg"
  as_pg "$pgbin/pg_ctl" -D "$base/data" -l "$base/server.log" -w -t 60 \
    -o "-c listen_addresses=127.0.0.1 -p $(cat "$base/port") -k $base/sock -c fsync=off" start >/dev/null
}

start_pg() {
  local base="$dir/pg" port
  port="$(free_port)"
  rm -rf "$base"; mkdir -p "$base/sock"
  echo "$port" >"$base/port"
  if [ "$(id -u)" -eq 0 ]; then chown -R postgres:postgres "$base"; fi
  as_pg "$pgbin/initdb" -D "$base/data" -U postgres --auth=trust -E UTF8 --locale=C >"$base/initdb.log" 2>&1
  launch_pg
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

launch_mariadb() {
  local base="$dir/mariadb"
  # setsid: the server must not share the process group of whoever started
  # it, or a test runner ending that group would take the server along.
  setsid mariadbd --no-defaults --datadir="$base/data" --user="$(id -un)" \
    --bind-address=127.0.0.1 --port="$(cat "$base/port")" --socket="$base/mysqld.sock" \
    --pid-file="$base/mysqld.pid" --log-error="$base/server.log" \
    --skip-name-resolve --innodb-flush-log-at-trx-commit=0 </dev/null >/dev/null 2>&1 &
  for _ in $(seq 1 120); do
    [ -S "$base/mysqld.sock" ] && mariadb --no-defaults -S "$base/mysqld.sock" -uroot -e "SELECT 1" >/dev/null 2>&1 && return 0
    sleep 0.5
  done
  return 1
}

start_mariadb() {
  local base="$dir/mariadb" port
  port="$(free_port)"
  rm -rf "$base"; mkdir -p "$base"
  echo "$port" >"$base/port"
  mariadb-install-db --no-defaults --datadir="$base/data" --user="$(id -un)" \
    --auth-root-authentication-method=socket --skip-test-db >"$base/install.log" 2>&1
  launch_mariadb
  mariadb --no-defaults -S "$base/mysqld.sock" -uroot -e \
    "CREATE DATABASE quillmar; CREATE USER 'quillmar'@'localhost' IDENTIFIED BY 'qm-secret';
     CREATE USER 'quillmar'@'127.0.0.1' IDENTIFIED BY 'qm-secret';
     GRANT ALL ON *.* TO 'quillmar'@'localhost'; GRANT ALL ON *.* TO 'quillmar'@'127.0.0.1';"
  {
    echo "QM_MARIADB_PORT=$port"
    echo "QM_MARIADB_SOCKET=$base/mysqld.sock"
  } >>"$dir/servers.env"
}

halt_all() {
  if [ -f "$dir/pg/data/postmaster.pid" ]; then
    as_pg "$pgbin/pg_ctl" -D "$dir/pg/data" -m fast -w stop >/dev/null 2>&1 || true
  fi
  if [ -f "$dir/mariadb/mysqld.pid" ]; then
    local pid; pid="$(cat "$dir/mariadb/mysqld.pid")"
    kill "$pid" 2>/dev/null || true
    for _ in $(seq 1 60); do kill -0 "$pid" 2>/dev/null || break; sleep 0.5; done
  fi
}

stop_all() {
  halt_all
  rm -f "$dir/servers.env"
}

resume_all() {
  if [ -f "$dir/pg/port" ] && [ ! -f "$dir/pg/data/postmaster.pid" ]; then launch_pg; fi
  if [ -f "$dir/mariadb/port" ] && [ ! -f "$dir/mariadb/mysqld.pid" ]; then launch_mariadb; fi
}

case "$cmd" in
  start)
    stop_all
    : >"$dir/servers.env"
    trap 'stop_all' ERR
    case "${3:-both}" in
      pg) start_pg ;;
      mariadb) start_mariadb ;;
      *) start_pg; start_mariadb ;;
    esac
    trap - ERR
    ;;
  stop) stop_all ;;
  halt) halt_all ;;
  resume) resume_all ;;
  *) echo "usage: $0 start|stop|halt|resume DIR [pg|mariadb]" >&2; exit 2 ;;
esac
