#!/usr/bin/env bash
# Installs with apt-get whatever the build, the demo and the tests need and
# this machine lacks. Safe to run again: it installs nothing that is present.
#   scripts/deps.sh        everything: the demo's packages and the tests'
#   scripts/deps.sh demo   the demo's alone
set -euo pipefail

# What a Release build of quillmar and quillmar-pw needs (CMake finds ODBC,
# libsodium, libxcrypt, libcrypto and the HTTP parser of nginx's auth_http;
# pkg-config helps it find OpenSSL and finds hiredis, the Redis client of
# shared_redis),
# and what the demo runs them on: a SQLite file made by sqlite3, reached
# through SQLite's ODBC driver.
demo_packages=(
  g++ cmake make pkg-config
  unixodbc-dev libsqliteodbc sqlite3
  libsodium-dev libcrypt-dev libssl-dev libhttp-parser-dev libhiredis-dev
)
# The tests, the fuzz targets and the package test need the rest: GoogleTest,
# the database servers and their drivers, the peers run as private instances.
test_packages=(
  clang-format git
  libgtest-dev
  unixodbc odbcinst
  postgresql odbc-postgresql mariadb-server mariadb-client odbc-mariadb
  clang libclang-rt-14-dev libfuzzer-14-dev
  dpkg-dev file groff-base lintian logrotate systemd procps
  dovecot-core dovecot-imapd whois argon2
  squid curl python3 libdbd-sqlite3-perl libdbd-pg-perl fail2ban
  python3-prometheus-client postfix swaks sasl2-bin libsasl2-modules
  nginx libnginx-mod-mail
  redis-server redis-tools
)
case "${1:-all}" in
  all)  packages=("${demo_packages[@]}" "${test_packages[@]}") ;;
  demo) packages=("${demo_packages[@]}") ;;
  *) echo "deps.sh: unknown set $1 (all or demo)" >&2; exit 2 ;;
esac
if [ -n "${QM_EXTRA_PACKAGES:-}" ]; then
  read -r -a extra <<<"$QM_EXTRA_PACKAGES"
  packages+=("${extra[@]}")
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
if [ "${#missing[@]}" -gt 0 ]; then
  echo "deps: installing ${missing[*]}"
  SUDO=""
  if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
  export DEBIAN_FRONTEND=noninteractive
  # dovecot-core (whose doveadm makes test vectors and whose private
  # instances the tests run), redis-server (private instances too), squid, fail2ban (whose fail2ban-regex reads
  # the failure lines), sasl2-bin (for testsaslauthd), postfix and nginx
  # would start their services on install: a policy that forbids every start
  # is put in place for the install when the machine has none, and a
  # dovecot, squid, fail2ban, saslauthd, nginx or (newly installed) postfix
  # left running is stopped; nginx, which serves the tests' private
  # instances alone, is also kept from starting at boot.
  policy=/usr/sbin/policy-rc.d
  own_policy=""
  if [ ! -e "$policy" ]; then
    printf '#!/bin/sh\nexit 101\n' | $SUDO tee "$policy" >/dev/null
    $SUDO chmod 755 "$policy"
    own_policy=1
  fi
  # Postfix is for the tests' private instances alone: installed without a
  # configuration of the system's, and stopped below should it run.
  new_postfix=""
  for p in "${missing[@]}"; do [ "$p" = postfix ] && new_postfix=1; done
  if [ -n "$new_postfix" ]; then
    echo "postfix postfix/main_mailer_type select No configuration" | $SUDO debconf-set-selections
  fi
  status=0
  $SUDO apt-get update -q || status=$?
  if [ "$status" -eq 0 ]; then
    $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}" || status=$?
  fi
  if [ -n "$own_policy" ]; then $SUDO rm -f "$policy"; fi
  if command -v systemctl >/dev/null 2>&1; then
    $SUDO systemctl stop dovecot >/dev/null 2>&1 || true
    $SUDO systemctl stop squid >/dev/null 2>&1 || true
    $SUDO systemctl stop fail2ban >/dev/null 2>&1 || true
    $SUDO systemctl stop saslauthd >/dev/null 2>&1 || true
    $SUDO systemctl stop nginx >/dev/null 2>&1 || true
    $SUDO systemctl disable nginx >/dev/null 2>&1 || true
    $SUDO systemctl stop redis-server >/dev/null 2>&1 || true
    $SUDO systemctl disable redis-server >/dev/null 2>&1 || true
    if [ -n "$new_postfix" ]; then
      $SUDO systemctl stop postfix >/dev/null 2>&1 || true
      $SUDO systemctl disable postfix >/dev/null 2>&1 || true
    fi
  fi
  if [ -n "$new_postfix" ] && [ -r /var/spool/postfix/pid/master.pid ]; then
    $SUDO postfix stop >/dev/null 2>&1 || true
  fi
  if [ -r /run/dovecot/master.pid ]; then $SUDO kill "$(cat /run/dovecot/master.pid)" 2>/dev/null || true; fi
  if [ -r /run/squid.pid ]; then $SUDO kill "$(cat /run/squid.pid)" 2>/dev/null || true; fi
  if [ -r /run/nginx.pid ]; then $SUDO kill "$(cat /run/nginx.pid)" 2>/dev/null || true; fi
  if [ -r /run/fail2ban/fail2ban.pid ]; then $SUDO kill "$(cat /run/fail2ban/fail2ban.pid)" 2>/dev/null || true; fi
  if [ "$status" -ne 0 ]; then exit "$status"; fi
fi
