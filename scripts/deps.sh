#!/usr/bin/env bash
# Installs with apt-get whatever the build, the demo and the tests need and
# this machine lacks. Safe to run again: it installs nothing that is present.
set -euo pipefail

packages=(
  g++ cmake make pkg-config clang-format
  libgtest-dev
  unixodbc unixodbc-dev odbcinst libsqliteodbc sqlite3
  postgresql odbc-postgresql mariadb-server mariadb-client odbc-mariadb
  clang libclang-rt-14-dev libfuzzer-14-dev
  dpkg-dev file groff-base lintian logrotate
)
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
  $SUDO apt-get update -q
  $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
