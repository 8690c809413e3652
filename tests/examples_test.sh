#!/usr/bin/env bash
# The library's examples against the programs: apply_in_place must rebuild
# what deltawright-apply rebuilds, make_from_memory must write the patch
# deltawright writes, on the sample pair and on pairs where the updated file
# is shorter, identical, or grows from nothing; a cut patch is refused.
# Usage: examples_test.sh APPLY_IN_PLACE MAKE_FROM_MEMORY DELTAWRIGHT DELTAWRIGHT_APPLY EXAMPLES_DIR
set -u
apply_in_place=$1 make_from_memory=$2 maker=$3 applier=$4 examples=$5
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

seq 1 20000 >base
head -c 30000 base | tr 5 x >shorter
: >empty
cp "$examples/updated.bin" sample.u
cp "$examples/original.bin" sample.o
# name | updated | original
for row in "sample|sample.u|sample.o" "shorter|shorter|base" "identical|base|base" \
    "from empty|base|empty"; do
    IFS='|' read -r name updated original <<<"$row"
    "$maker" want.patch "$updated" "$original" >/dev/null || fail "$name: deltawright failed"
    "$make_from_memory" "$updated" "$original" >got.patch || fail "$name: make_from_memory failed"
    cmp -s want.patch got.patch || fail "$name: make_from_memory wrote another patch"
    "$applier" want.out want.patch "$original" || fail "$name: deltawright-apply failed"
    "$apply_in_place" "$original" <want.patch >got.out || fail "$name: apply_in_place failed"
    cmp -s want.out got.out || fail "$name: apply_in_place gave another result"
done
head -c -1 want.patch >cut.patch
if "$apply_in_place" base <cut.patch >/dev/null 2>err.txt; then
    fail "a cut patch was applied"
fi
grep -q "record cut short by the end of the patch at byte" err.txt ||
    fail "a cut patch: $(cat err.txt)"
[ "$failures" = 0 ] && echo "all examples agree with the programs"
exit $((failures > 0))
