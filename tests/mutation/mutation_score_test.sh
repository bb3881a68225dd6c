#!/usr/bin/env bash
# The mutation script finds a planted fault: in a toy project whose test leaves
# one rule unchecked, every mutant of that rule survives, every mutant of the
# checked rule is killed, and mutants that do not build are replaced.
set -euo pipefail
script=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp "$(dirname "$0")"/toy/* "$work"/
git -C "$work" init -q && git -C "$work" add . 
cmake -S "$work" -B "$work/build" -G Ninja >/dev/null
cmake --build "$work/build" >/dev/null
out=$(bash "$script" --source "$work" --build "$work/build" --labels toy --count 100 \
      --timeout 30 rules.cpp)
echo "$out"
fail() { echo "FAILED: $1"; exit 1; }
grep -q 'killed 3/7 ' <<<"$out" || fail "three of seven mutants killed"
grep -q '[1-9][0-9]* unbuildable replaced' <<<"$out" || fail "unbuildable mutants replaced"
for change in "'>=' -> '>'" "'65' -> '66'" "'65' -> '64'"; do
    grep -q "^survivor: rules.cpp:13: .*$change" <<<"$out" || fail "survivor $change on line 13"
done
! grep -q '^survivor: rules.cpp:9:' <<<"$out" || fail "the checked rule has no survivor"
git -C "$work" diff --quiet || fail "source restored after the run"
echo "mutation script: planted fault found"
