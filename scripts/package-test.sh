#!/usr/bin/env bash
# The package as an administrator meets it: built by scripts/package.sh,
# checked by lintian and groff, installed with apt-get (which pulls its
# dependencies), run from an empty folder on the installed /etc/quillmar.ini
# aimed at a SQLite data source, its log rotated while two processes write
# it, then purged, after which nothing of it may be left. Needs root (or
# sudo): it installs into the system and purges again on every exit. Each
# failed check prints its reason; the exit status is 1 when any failed.
set -uo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi

tally_name="package test"
# shellcheck source=scripts/check-tally.sh
. "$root/scripts/check-tally.sh"
# expect WHAT EXPECTED ACTUAL
expect() {
  if [ "$2" == "$3" ]; then pass; else
    fail "$1"
    diff <(printf '%s\n' "$2") <(printf '%s\n' "$3") >&2
  fi
}

# Two test runs on one machine would purge each other's package.
exec 9>/run/lock/quillmar-package-test.lock
flock 9

state="$(dpkg-query -W -f='${db:Status-Status}' quillmar 2>/dev/null || true)"
if [ -n "$state" ] && [ "$state" != "not-installed" ]; then
  fail "quillmar is already on this machine (dpkg state: $state); this test would purge it." \
    "Purge it first: apt-get purge quillmar"
  finish
fi

if ! "$root/scripts/package.sh"; then
  fail "scripts/package.sh could not build the package"
  finish
fi
deb="$(ls "$root"/build/package/quillmar_*.deb)"

if lintian --pedantic --fail-on error,warning "$deb"; then pass; else
  fail "lintian found errors or warnings (above) in $deb"
fi
for page in "$root"/man/*.[1-8]; do
  if out="$(groff -man -ww -z "$page" 2>&1)" && [ -z "$out" ]; then pass; else
    fail "groff warns about $page: $out"
  fi
done

tmp="$(mktemp -d)"
installed=""
overrides=""
remove_overrides() {
  $SUDO dpkg-statoverride --remove /etc/quillmar.ini >/dev/null 2>&1 || true
  $SUDO dpkg-statoverride --remove /var/log/quillmar >/dev/null 2>&1 || true
  overrides=""
}
cleanup() {
  if [ -n "$overrides" ]; then remove_overrides; fi
  if [ -n "$installed" ]; then $SUDO apt-get purge -y -q quillmar >/dev/null 2>&1 || true; fi
  rm -rf "$tmp"
}
trap cleanup EXIT

apt=(env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 -y -q)
if [ -n "$SUDO" ]; then apt=("$SUDO" "${apt[@]}"); fi
if ! "${apt[@]}" install "$deb"; then
  fail "apt-get install $deb failed"
  finish
fi
installed=yes
files="$(dpkg -L quillmar)"

# What the package puts where, and with which rights.
expect "the settings file is root's with mode 0640" "root:root 640" \
  "$(stat -c '%U:%G %a' /etc/quillmar.ini 2>&1)"
expect "the log folder is root's with mode 0750" "root:root 750" \
  "$(stat -c '%U:%G %a' /var/log/quillmar 2>&1)"
expect "the settings, the rotation and fail2ban's filter and jail are conffiles" \
  "/etc/quillmar.ini /etc/logrotate.d/quillmar /etc/fail2ban/filter.d/quillmar.conf /etc/fail2ban/jail.d/quillmar.conf" \
  "$(dpkg-query -W -f='${Conffiles}' quillmar | awk 'NF { printf "%s%s", sep, $1; sep = " " }')"
expect "the throttle's folder is made at install, root's with mode 0750" "root:root 750" \
  "$(stat -c '%U:%G %a' /run/quillmar 2>&1)"
for path in /usr/sbin/quillmar /usr/share/man/man8/quillmar.8.gz \
  /usr/share/doc/quillmar/examples/quillmar.ini /usr/share/doc/quillmar/copyright \
  /usr/lib/tmpfiles.d/quillmar.conf; do
  if grep -qx "$path" <<<"$files"; then pass; else fail "the package lacks $path"; fi
done
expect "the sample sets the log under /var/log/quillmar" "log_path /var/log/quillmar/quillmar.log" \
  "$(grep '^log_path ' /usr/share/doc/quillmar/examples/quillmar.ini)"

# The service: its unit passes systemd's own checks (which need the program
# and the man page it names, installed now, but no running systemd) with
# the hardening kept, its system user is there, and the package has
# neither enabled nor started it.
unit=/lib/systemd/system/quillmar.service
if grep -qx "$unit" <<<"$files"; then pass; else fail "the package lacks $unit"; fi
expect "systemd-analyze verify finds nothing in the unit" "" \
  "$(cd / && systemd-analyze verify "$unit" </dev/null 2>&1)"
# The threshold is in tenths of the exposure it prints (0.0 to 10.0).
if exposure="$(systemd-analyze security --offline=true --threshold=20 "$unit" </dev/null 2>&1)"; then
  pass
else
  fail "the unit's hardening fell below systemd's exposure 2: $(tail -n 1 <<<"$exposure")"
fi
echo "package test: $(tail -n 1 <<<"$exposure")"
expect "the service's system user" "quillmar:/nonexistent:/usr/sbin/nologin" \
  "$(getent passwd quillmar | awk -F: '$3 < 1000 { print $1 ":" $6 ":" $7 }')"
expect "the package leaves the unit disabled" "disabled" \
  "$(systemctl is-enabled quillmar.service 2>&1)"
expect "no service process runs" "" "$(pgrep -u quillmar 2>&1)"

# A data source of our own for the installed settings file, through the
# driver manager's variables; the program runs in an empty folder, so it
# can only have found /etc/quillmar.ini.
mkdir "$tmp/odbc" "$tmp/run"
driver="$(dpkg -L libsqliteodbc 2>/dev/null | grep '/libsqlite3odbc\.so$' | head -n 1)"
printf '[SQLite3]\nDriver = %s\n' "$driver" >"$tmp/odbc/odbcinst.ini"
printf '[qm_package_test]\nDriver = SQLite3\nDatabase = %s\n' "$tmp/odbc/users.db" >"$tmp/odbc/odbc.ini"
sqlite3 "$tmp/odbc/users.db" <<'SQL'
CREATE TABLE users (username TEXT, password TEXT, maildrop TEXT, quota TEXT);
INSERT INTO users VALUES ('alice@example.org', 'wonderland', '/var/mail/alice', '500');
INSERT INTO users VALUES ('bob@example.org', 'builder', NULL, NULL);
SQL
$SUDO sed -i 's/^odbc_driver_name .*/odbc_driver_name qm_package_test/' /etc/quillmar.ini
printf 'domain example.org\nfield_maildrop maildrop\nfield_quota quota\nodbc_mail_uid 8\n' |
  $SUDO tee -a /etc/quillmar.ini >/dev/null
run() {
  (cd "$tmp/run" && $SUDO env ODBCSYSINI="$tmp/odbc" ODBCINI="$tmp/odbc/odbc.ini" "$@")
}

expect "a session with the installed program" "$(printf '%s\r\n' \
  '+OK alice@example.org /var/mail/alice 8 quota="500"' \
  '-ERR alice@example.org password wrong or not a valid user' \
  '+OK bob@example.org config 8' \
  '+OK')" "$(printf 'check alice wonderland\ncheck alice wrong\nlookup bob\nquit\n' |
  run /usr/sbin/quillmar 2>&1)"
expect "the working folder stays empty" "" "$(ls -A "$tmp/run")"

# The sample settings log refused checks and throttle guessers: the
# installed filter reads the installed program's failure lines (a name that
# holds an address among them), the jail is off until enabled, and enabled
# it is a jail fail2ban takes. A throttled check is refused like a wrong
# password.
printf '%s\n' 'check alice wrong 192.0.2.7' $'check x\trip=10.9.9.9 wrong 192.0.2.8' \
  'check alice wonderland 192.0.2.9' | run /usr/sbin/quillmar >/dev/null 2>&1
expect "fail2ban's filter finds the failure lines' addresses" "$(printf '%s\n' 192.0.2.7 192.0.2.8)" \
  "$($SUDO fail2ban-regex -o ip /var/log/quillmar/quillmar.log /etc/fail2ban/filter.d/quillmar.conf 2>&1)"
cp -r /etc/fail2ban "$tmp/fail2ban"
jail="$(fail2ban-client -c "$tmp/fail2ban" -d 2>&1 | grep -c "'quillmar'")"
expect "the jail is off as installed" 0 "$jail"
printf '[quillmar]\nenabled = true\n' >"$tmp/fail2ban/jail.d/quillmar.local"
jail="$(fail2ban-client -c "$tmp/fail2ban" -d 2>&1)"
for line in "['add', 'quillmar', 'auto']" \
  "['set', 'quillmar', 'addlogpath', '/var/log/quillmar/quillmar.log', 'head']"; do
  if grep -qF "$line" <<<"$jail"; then pass; else fail "the enabled jail lacks $line"; fi
done
guesses="$(for i in $(seq 1 12); do echo "check alice guess$i 198.51.100.3"; done)"
expect "every guess is answered as a wrong password" 12 \
  "$(run /usr/sbin/quillmar <<<"$guesses" 2>&1 | grep -c '^-ERR alice@example.org password wrong')"
expect "the guesser is throttled after 10 failures" "10 2 1" "$($SUDO sh -c '
  cd /var/log/quillmar && grep -c "rip=198.51.100.3 reason=wrong-user-or-password" quillmar.log
  grep -c "rip=198.51.100.3 reason=throttled" quillmar.log
  grep -c "Throttle on for 198.51.100.3: 10 failed checks within 300 s" quillmar.log' | xargs)"

# The configuration check on the installed settings file: as it is, with a
# user who is not there, and with a misspelt column; its exit status tells.
check_out="$(run /usr/sbin/quillmar -check alice 2>&1)"
expect "-check alice exits 0" 0 "$?"
expect "-check alice on the installed settings" "$(printf '%s\n' \
  'reading /etc/quillmar.ini' \
  'user alice@example.org: found: +OK alice@example.org /var/mail/alice 8 quota="500"' \
  'all is well')" "$check_out"
check_out="$(run /usr/sbin/quillmar -check nobody 2>&1)"
expect "-check nobody exits 1" 1 "$?"
expect "-check nobody on the installed settings" "$(printf '%s\n' \
  'reading /etc/quillmar.ini' 'user nobody@example.org: not found' '1 problem')" "$check_out"
$SUDO cp -p /etc/quillmar.ini "$tmp/quillmar.ini.good"
$SUDO sed -i 's/^field_password .*/field_password passwd/' /etc/quillmar.ini
check_out="$(run /usr/sbin/quillmar -check 2>&1)"
expect "-check with a misspelt column exits 1" 1 "$?"
expect "-check with a misspelt column" "$(printf '%s\n' 'reading /etc/quillmar.ini' \
  "table users has no column 'passwd' (field_password)" '1 problem')" "$check_out"
$SUDO cp -p "$tmp/quillmar.ini.good" /etc/quillmar.ini
# The installed settings above name the throttle's table and the flush file
# in the packaged /run/quillmar, and the check said nothing of it. A stats
# folder every user may write is named; the same folder kept to its owner
# is not.
mkdir "$tmp/stats"
chmod 1777 "$tmp/stats"
printf 'stats_path %s\n' "$tmp/stats" | $SUDO tee -a /etc/quillmar.ini >/dev/null
check_out="$(run /usr/sbin/quillmar -check 2>&1)"
expect "-check with a stats folder every user may write exits 1" 1 "$?"
expect "-check with a stats folder every user may write" "$(printf '%s\n' 'reading /etc/quillmar.ini' \
  "the stats folder $tmp/stats (stats_path) may be written by every user, not only by root" \
  '1 problem')" "$check_out"
$SUDO chown root:root "$tmp/stats"
$SUDO chmod 0750 "$tmp/stats"
check_out="$(run /usr/sbin/quillmar -check 2>&1)"
expect "-check with a stats folder only root may write" "$(printf '%s\n' \
  'reading /etc/quillmar.ini' 'all is well')" "$check_out"
$SUDO cp -p "$tmp/quillmar.ini.good" /etc/quillmar.ini
expect "the checks leave the working folder empty" "" "$(ls -A "$tmp/run")"

# The service's user as the man page sets it up: it reads the settings and
# writes the log. The overrides are taken back at once, as a purge leaves
# an administrator's overrides alone.
$SUDO sh -c 'rm -f /var/log/quillmar/*'
chmod 755 "$tmp" "$tmp/odbc" "$tmp/run"
chmod 644 "$tmp/odbc/users.db"
$SUDO dpkg-statoverride --update --add root quillmar 0640 /etc/quillmar.ini
$SUDO dpkg-statoverride --update --add quillmar adm 0750 /var/log/quillmar
overrides=yes
expect "the service's user checks a password" "+OK alice@example.org /var/mail/alice 8 quota=\"500\"" \
  "$(printf 'check alice wonderland\n' | run runuser -u quillmar -- /usr/sbin/quillmar -debug 2>&1 |
    tr -d '\r' | grep '^[+-]')"
expect "the service's user wrote the log" "quillmar" \
  "$(stat -c '%U' /var/log/quillmar/quillmar.log 2>&1)"
remove_overrides
$SUDO chown -R root:root /var/log/quillmar /etc/quillmar.ini

# The log is rotated again and again while two processes write it; every
# line either wrote (each echoes its log lines on standard output in debug
# mode) must be in the log or in a rotated file.
$SUDO sh -c 'rm -f /var/log/quillmar/*'
yes 'lookup alice' | head -n 5000 >"$tmp/commands"
run /usr/sbin/quillmar -debug <"$tmp/commands" >"$tmp/out1" 2>&1 &
w1=$!
run /usr/sbin/quillmar -debug <"$tmp/commands" >"$tmp/out2" 2>&1 &
w2=$!
rotations=0
while kill -0 "$w1" 2>/dev/null || kill -0 "$w2" 2>/dev/null; do
  if [ "$rotations" -lt 10 ] && [ -s /var/log/quillmar/quillmar.log ]; then
    $SUDO logrotate -f -s "$tmp/logrotate.state" /etc/logrotate.d/quillmar && rotations=$((rotations + 1))
  fi
  sleep 0.05
done
wait "$w1" "$w2"
if [ "$rotations" -ge 2 ]; then pass; else
  fail "the writers ended after $rotations rotations; the test needs at least 2 (more commands?)"
fi
logged="$($SUDO sh -c 'zcat -f /var/log/quillmar/quillmar.log*' | tr -d '\r')"
for out in "$tmp/out1" "$tmp/out2"; do
  pid="$(tr -d '\r' <"$out" | awk 'NR == 1 { print $1 }')"
  written="$(tr -d '\r' <"$out" | grep -c "^$pid ")"
  in_log="$(grep -c "^$pid " <<<"$logged")"
  echo "package test: process $pid wrote $written log lines over $rotations rotations; $in_log in the logs"
  if [ "$written" -gt 5000 ] && [ "$written" -eq "$in_log" ]; then pass; else
    fail "process $pid wrote $written log lines, $in_log are in the rotated logs"
  fi
done

if grep -qx /usr/bin/quillmar-pw <<<"$files"; then
  stored="$(printf 'secret\n' | /usr/bin/quillmar-pw)"
  if [[ "$stored" == "{"*"}"?* ]]; then pass; else fail "quillmar-pw made '$stored'"; fi
  for case in "secret 0" "wrong 1"; do
    printf '%s\n' "${case% *}" | /usr/bin/quillmar-pw -t "$stored"
    expect "quillmar-pw -t with the password ${case% *}" "${case#* }" "$?"
  done
  printf 'secret\n' | /usr/bin/quillmar-pw -t '{NO-SUCH-SCHEME}x'
  expect "quillmar-pw -t with an unknown scheme" 2 "$?"
  if [ -n "$(/usr/bin/quillmar-pw -l)" ]; then pass; else fail "quillmar-pw -l lists nothing"; fi
fi

# The administrator's choice outlives an upgrade: a unit enabled by hand is
# still enabled after the package is installed again, and a purge takes the
# link along.
wants=/etc/systemd/system/multi-user.target.wants/quillmar.service
$SUDO systemctl enable quillmar.service >/dev/null 2>&1
if ! "${apt[@]}" install --reinstall "$deb" >/dev/null; then fail "apt-get install --reinstall failed"; fi
expect "a unit enabled by hand stays enabled over a reinstall" "enabled" \
  "$(systemctl is-enabled quillmar.service 2>&1)"

# Purged, nothing of the package is left: no file, no folder of its own, no
# conffile (changed or not), no log, no unit link or mask, no record of the
# unit's state. The system user stays (see postrm).
if ! "${apt[@]}" purge quillmar; then fail "apt-get purge quillmar failed"; fi
installed=""
expect "dpkg lists no file of the purged package" "" "$(dpkg -L quillmar 2>/dev/null)"
left=()
while IFS= read -r path; do
  if [ -e "$path" ] && { [ ! -d "$path" ] || [[ "$path" == *quillmar* ]]; }; then left+=("$path"); fi
done <<<"$files"
for path in /etc/quillmar.ini /etc/logrotate.d/quillmar /var/log/quillmar /run/quillmar "$wants" \
  /etc/fail2ban/filter.d/quillmar.conf /etc/fail2ban/jail.d/quillmar.conf \
  /etc/systemd/system/quillmar.service /var/lib/systemd/deb-systemd-helper-enabled/quillmar.service.dsh-also \
  /var/lib/systemd/deb-systemd-helper-masked/quillmar.service; do
  if [ -e "$path" ] || [ -L "$path" ]; then left+=("$path"); fi
done
expect "nothing of the package is left after the purge" "" "${left[*]}"
expect "the system user stays after the purge" "quillmar" "$(getent passwd quillmar | cut -d: -f1)"
finish
