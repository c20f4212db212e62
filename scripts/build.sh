#!/usr/bin/env bash
# Configures and builds one flavour of the tree: "plain" or "sanitize"
# (AddressSanitizer + UndefinedBehaviorSanitizer), in build/<flavour>.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
flavour="${1:-plain}"
shift || true
case "$flavour" in
  plain)    flags=(-DQM_SANITIZE=OFF) ;;
  sanitize) flags=(-DQM_SANITIZE=ON) ;;
  *) echo "build.sh: unknown flavour $flavour" >&2; exit 2 ;;
esac
cmake -S "$root" -B "$root/build/$flavour" "${flags[@]}" "$@" >/dev/null
cmake --build "$root/build/$flavour" -j "$(nproc)"
