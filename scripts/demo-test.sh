#!/usr/bin/env bash
# The demo as a newcomer first meets it: scripts/demo.sh run in a fresh
# clone of this tree, without a terminal, its commands from a pipe. Its
# answers to the README's short session must be those the README shows, it
# must have built the two programs alone (in Release, without GoogleTest),
# and its set-up must reach the answers within QM_DEMO_SECONDS (120: the
# newcomer's two minutes; here with the packages already installed). Each
# failed check prints its reason; the exit status is 1 when any failed.
set -uo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
limit="${QM_DEMO_SECONDS:-120}"

tally_name="demo test"
# shellcheck source=scripts/check-tally.sh
. "$root/scripts/check-tally.sh"

tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT
clone="$tmp/quillmar"
# A clone holds what is committed: a file left out of the commits, or a
# build left in the tree, cannot help the demo here.
if ! git clone -q "$root" "$clone"; then
  fail "git clone $root failed"
  finish
fi
if [ -n "$(git -C "$root" status --porcelain --untracked-files=no)" ]; then
  echo "demo test: the tree has uncommitted changes; the clone runs its last commit"
fi

# The README's short session: a right password, a wrong one, a lookup, a
# right password from outside the user's network.
commands='check alice wonderland
check bob wrong
lookup bob
check carol c4r0l 10.1.1.1
quit'
expected='+OK alice@example.org /var/mail/alice 8 quota="500"
-ERR bob@example.org password wrong or not a valid user
+OK bob@example.org config 8 fwd="bob@elsewhere.example" quota="100"
-ERR carol@example.org password wrong or not a valid user
+OK'

# setsid: no controlling terminal either, as under CI.
# The CPU time beside the clock's: on a machine shared with other work the
# clock says more about the others than about the demo.
TIMEFORMAT='%0R %0U %0S'
{ time setsid -w "$clone/scripts/demo.sh" <<<"$commands" >"$tmp/answers" 2>"$tmp/setup.log"; } \
  2>"$tmp/time"
status=$?
read -r seconds user sys <"$tmp/time"
echo "demo test: set-up and answers took ${seconds}s (CPU ${user}s user, ${sys}s system)"
if [ "$status" -ne 0 ]; then
  fail "scripts/demo.sh exited $status; its set-up said:"
  tail -n 30 "$tmp/setup.log" >&2
  finish
fi
pass
# The line protocol ends its lines with CR LF.
printf '%s\n' "$expected" | sed 's/$/\r/' >"$tmp/expected"
if cmp -s "$tmp/expected" "$tmp/answers"; then pass; else
  fail "the demo's answers differ from the README's session (expected, then given):"
  diff "$tmp/expected" "$tmp/answers" | cat -A >&2
fi
if [ "$seconds" -le "$limit" ]; then pass; else
  fail "the demo took ${seconds}s to answer, more than ${limit}s"
fi

cache="$clone/build/demo-release/CMakeCache.txt"
if grep -q '^CMAKE_BUILD_TYPE:STRING=Release$' "$cache" 2>/dev/null; then pass; else
  fail "the demo's programs are not a Release build ($cache)"
fi
if [ -f "$cache" ] && ! grep -q '^GTest_DIR:' "$cache"; then pass; else
  fail "the demo's build looked for GoogleTest"
fi
# Only the two programs are built: no test, benchmark or fuzz program.
built="$(cd "$clone/build/demo-release" 2>/dev/null && find . -path ./CMakeFiles -prune -o \
  -type f -perm -u+x -print | sort | tr '\n' ' ')"
if [ "$built" == "./src/quillmar ./src/quillmar-pw " ]; then pass; else
  fail "the demo built more than quillmar and quillmar-pw: $built"
fi
finish
