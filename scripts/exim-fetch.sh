#!/usr/bin/env bash
# Unpacks Debian's Exim (exim4-daemon-heavy and exim4-base) under
# build/exim for the tests' private instances, without installing it: Exim
# and Postfix both provide mail-transport-agent, so installing Exim would
# remove the Postfix the tests also run. The libraries its binary needs are
# installed as usual (libraries conflict with nothing). Safe to run again:
# a binary that is there and finds its libraries is left as it is.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
dest="$root/build/exim"
exim="$dest/usr/sbin/exim4"
packages=(exim4-daemon-heavy exim4-base)

libraries_missing() { ldd "$exim" 2>/dev/null | grep -q 'not found'; }

if [ -x "$exim" ] && ! libraries_missing; then exit 0; fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive

debs="$(mktemp -d)"
trap 'rm -rf "$debs"' EXIT
fetch() {
  (cd "$debs" && apt-get -q -o APT::Sandbox::User=root download "${packages[@]}" >/dev/null)
}
if ! fetch; then
  $SUDO apt-get update -q >/dev/null
  fetch
fi

# A half-unpacked tree from an interrupted run is replaced whole.
rm -rf "$dest"
mkdir -p "$dest"
for deb in "$debs"/*.deb; do dpkg-deb -x "$deb" "$dest"; done
# Only root runs it, by hand: no set-uid binary left in the build tree.
chmod u-s "$exim"

# The libraries its package depends on (the first of each alternative),
# those not yet installed.
needed=()
depends="$(dpkg-deb -f "$debs"/exim4-daemon-heavy_*.deb Depends)"
IFS=',' read -r -a groups <<<"$depends"
for group in "${groups[@]}"; do
  name="$(sed -E 's/^ *//; s/[ (|].*//' <<<"$group")"
  case "$name" in lib*) ;; *) continue ;; esac
  if ! dpkg-query -W -f='${Status}' "$name" 2>/dev/null | grep -q "install ok installed"; then
    needed+=("$name")
  fi
done
if [ "${#needed[@]}" -gt 0 ]; then
  echo "exim-fetch: installing ${needed[*]}"
  $SUDO apt-get install -y -q --no-install-recommends "${needed[@]}" >/dev/null
fi
if libraries_missing; then
  echo "exim-fetch: $exim still misses libraries:" >&2
  ldd "$exim" | grep 'not found' >&2
  exit 1
fi
echo "exim-fetch: Exim $(dpkg-deb -f "$debs"/exim4-daemon-heavy_*.deb Version) unpacked in $dest"
