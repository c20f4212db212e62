#!/usr/bin/env bash
# The first command: installs what is missing, builds, sets up a SQLite user
# table with an ODBC data source for it, and starts the authenticator on it
# so that a person can type commands. Everything it writes is under build/.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/deps.sh"
"$root/scripts/build.sh" plain

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
cp "$root/build/plain/src/quillmar" "$demo/quillmar"
cd "$demo"
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
TEXT
exec ./quillmar "$@"
