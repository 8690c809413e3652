#!/usr/bin/env bash
# Positions at the edge of the 32-bit offset field, on sparse files of
# 4 GiB + 1 MiB (holes: no real disk use). One pair of files is reused, with
# bytes written in and cleared again between cases, so that later cases read
# from the page cache.
# Usage: large_offsets.sh PATH_TO_DELTAWRIGHT PATH_TO_DELTAWRIGHT_APPLY
set -u
tool=$(realpath "$1")
apply=$(realpath "$2")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1

size=$((4 * 1024 * 1024 * 1024 + 1024 * 1024))
truncate -s "$size" original.bin updated.bin
passed=0 failed=0

# poke FILE OFFSET COUNT BYTE: writes COUNT copies of BYTE (octal escape) at OFFSET.
poke() {
    head -c "$3" /dev/zero | tr '\0' "$4" | dd of="$1" bs=1M seek="$2" oflag=seek_bytes conv=notrunc status=none
}
header() { printf 'DLT40\377'; head -c 54 /dev/zero; }
# le32 N: N as four little-endian bytes, in printf escapes.
le32() { printf '\\%03o\\%03o\\%03o\\%03o' $(($1 & 255)) $(($1 >> 8 & 255)) $(($1 >> 16 & 255)) $(($1 >> 24 & 255)); }
# record COMMAND OFFSET LENGTH BYTE: one record whose data are LENGTH copies of BYTE.
record() {
    printf "\\$(printf '%03o' "$1")$(le32 "$2")\\$(printf '%03o' "$3")"
    head -c "$3" /dev/zero | tr '\0' "$4"
}
# expect NAME STATUS STDOUT EXPECTED_PATCH_FILE: runs the tool on the pair;
# with EXPECTED_PATCH_FILE "none", the run must leave no patch file.
expect() {
    local out status
    rm -f p.patch
    out=$("$tool" p.patch updated.bin original.bin; s=$?; printf x; exit $s)
    status=$?
    out=${out%x}
    local patch_ok
    if [ "$4" = none ]; then [ ! -e p.patch ]; else cmp -s p.patch "$4"; fi
    patch_ok=$?
    if [ "$status" = "$2" ] && [ "$out" = "$3" ] && [ "$patch_ok" = 0 ]; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
        echo "FAIL: $1: status $status (want $2), stdout '$out' (want '$3')"
        od -A x -t x1 p.patch | tail -n 4
    fi
}

poke updated.bin $((0xE0000000)) 1 '\130'
expect "difference at 0xE0000000" 0 "" <(header; record 0 $((0xE0000000)) 1 '\130')
poke updated.bin $((0xE0000000)) 1 '\000'

poke updated.bin $((0xFFFFFFFF)) 1 '\130'
expect "difference at the last 32-bit position" 0 "" <(header; record 0 $((0xFFFFFFFF)) 1 '\130')
poke updated.bin $((0xFFFFFFFF)) 1 '\000'

# 0xFFFFFF00 + 255 is 0xFFFFFFFF: the second record still starts at a position the field holds.
poke updated.bin $((0xFFFFFF00)) 300 '\131'
expect "run of 300 from 0xFFFFFF00" 0 "" \
    <(header; record 0 $((0xFFFFFF00)) 255 '\131'; record 0 $((0xFFFFFFFF)) 45 '\131')
# The applier places both records by their 32-bit offsets in a 4 GiB output.
if "$apply" /dev/stdout p.patch original.bin | cmp -s - updated.bin; then
    passed=$((passed + 1))
else
    failed=$((failed + 1))
    echo "FAIL: applying the run of 300 from 0xFFFFFF00 does not rebuild the updated file"
fi
poke updated.bin $((0xFFFFFF00)) 300 '\000'

# Its third record would start at 4 GiB + 254: refused, and the two records
# that fit are not left behind as a patch.
poke updated.bin $((0xFFFFFF00)) 600 '\131'
expect "run of 600 from 0xFFFFFF00" 1 "Error writing patch file p.patch: files differ beyond 4 GiB" \
    none
poke updated.bin $((0xFFFFFF00)) 600 '\000'

poke updated.bin $((0x100000007)) 1 '\130'
expect "difference at 4 GiB + 7" 1 "Error writing patch file p.patch: files differ beyond 4 GiB" \
    none
poke updated.bin $((0x100000007)) 1 '\000'

# Appended bytes carry no position: a tail beyond 4 GiB is recorded in full.
poke updated.bin "$size" 600 '\132'
expect "tail beyond 4 GiB" 0 "" \
    <(header; record 1 0 255 '\132'; record 1 0 255 '\132'; record 1 0 90 '\132')

echo "large offsets: $passed passed, $failed failed"
[ "$failed" = 0 ]
