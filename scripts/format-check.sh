#!/usr/bin/env bash
# Fails, naming the files, when a C++ file of the tree is not formatted as
# .clang-format says. Fix with: git ls-files '*.cpp' '*.h' | xargs clang-format -i
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
bad=()
while IFS= read -r f; do
  if ! clang-format --dry-run -Werror "$f" >/dev/null 2>&1; then bad+=("$f"); fi
done < <(git ls-files '*.cpp' '*.h')
if [ "${#bad[@]}" -gt 0 ]; then
  echo "format-check: not formatted: ${bad[*]}" >&2
  exit 1
fi
echo "format-check: every C++ file formatted"
