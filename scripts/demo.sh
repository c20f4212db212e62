#!/usr/bin/env bash
# The first command: installs what the demo lacks (scripts/deps.sh demo: the
# compiler, CMake, the libraries, SQLite and its ODBC driver, none of the
# tests' servers), builds quillmar and quillmar-pw alone in Release, sets up
# a SQLite user table with an ODBC data source for it, and starts the
# authenticator on it so that a person can type commands. Everything it
# writes is under build/.
#
# On a terminal it shows what to try; from a pipe it answers the commands it
# reads and nothing else: the set-up's lines go to stderr, the answers alone
# to stdout (scripts/demo-test.sh reads them so).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
programs="$root/build/demo-release"
{
  "$root/scripts/deps.sh" demo
  # Neither the tests nor the benchmarks: GoogleTest is the test command's.
  cmake -S "$root" -B "$programs" -DCMAKE_BUILD_TYPE=Release -DQM_TESTS=OFF -DQM_BENCH=OFF \
    -DQM_FUZZ=OFF -DQM_SANITIZE=OFF >/dev/null
  cmake --build "$programs" -j "$(nproc)" --target quillmar quillmar-pw
} >&2

demo="$root/build/demo"
rm -rf "$demo"
mkdir -p "$demo"
sqlite3 "$demo/users.db" < "$root/scripts/demo_users.sql"

driver="$(dpkg -L libsqliteodbc 2>/dev/null | grep '/libsqlite3odbc\.so$' | head -n 1 || true)"
driver="${driver:-/usr/lib/x86_64-linux-gnu/odbc/libsqlite3odbc.so}"
# The driver manager reads these two files instead of /etc/odbc*.ini.
cat > "$demo/odbcinst.ini" <<INI
[SQLite3]
Description = SQLite 3 ODBC driver
Driver = $driver
INI
cat > "$demo/odbc.ini" <<INI
[quillmar]
Driver = SQLite3
Database = $demo/users.db
INI
export ODBCSYSINI="$demo" ODBCINI="$demo/odbc.ini"

cp "$root/scripts/demo_quillmar.ini" "$demo/quillmar.ini"
cp "$programs/src/quillmar" "$programs/src/quillmar-pw" "$demo/"
cd "$demo"
if [ -t 0 ]; then
  cat <<TEXT
quillmar is listening on this terminal (data in build/demo/users.db, log in build/demo/quillmar.log).
Try:
  check alice wonderland
  check bob wrong
  lookup bob
  check carol c4r0l 192.168.7.1
  check carol c4r0l 10.1.1.1
  check erin@other.example erin
  help
  quit
Then build/demo/quillmar-pw makes a hashed password value from one you type.
TEXT
fi
exec ./quillmar "$@"
