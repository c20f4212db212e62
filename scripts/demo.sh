#!/usr/bin/env bash
# The first command: installs what is missing, builds, and starts the
# authenticator in build/demo so that a person can type commands to it.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/deps.sh"
"$root/scripts/build.sh" plain
demo="$root/build/demo"
mkdir -p "$demo"
cd "$demo"
cp "$root/build/plain/quillmar" ./quillmar
echo "quillmar is listening on this terminal; try: help, info, version, exit"
exec ./quillmar "$@"
