#!/usr/bin/env bash
# Sealed runs against their floors, in one run: a --manifest apply against
# the slower of the plain apply's copy floor (bench_floor --apply, flushed)
# and the three SHA-256 digests it needs (original, patch and result: three
# `openssl dgst -sha256` started together); --check --seal against the
# slower of reading the three files and hashing them at once; and the
# library's SHA-256 against `openssl speed -evp sha256` on 1 MiB blocks.
# Progress is off (no terminal). bench/run.sh runs this after its own rows;
# alone: bench/sealed.sh [SIZE_MIB] (default 1024). Needs 6 × SIZE of disk in
# $TMPDIR (default /tmp), hyperfine, openssl and a release build.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bin=$root/build/release
size_mib=${1:-1024}
for f in deltawright deltawright-apply bench_floor bench_make_workload bench_sha256_speed; do
    [ -x "$bin/$f" ] || { echo "missing $bin/$f: run cmake --workflow --preset release" >&2; exit 2; }
done
for tool in hyperfine openssl; do
    command -v "$tool" >/dev/null || { echo "please install $tool" >&2; exit 2; }
done
apply=$bin/deltawright-apply

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
echo "making ${size_mib} MiB workloads in $work ..."
head -c "$((size_mib * 1024 * 1024))" /dev/urandom >original.bin
"$bin/bench_make_workload" sparse original.bin sparse.bin
"$bin/bench_make_workload" all original.bin all.bin
: >empty.bin
"$bin/deltawright" sparse.patch sparse.bin original.bin
"$bin/deltawright" all.patch all.bin original.bin
"$bin/deltawright" add.patch original.bin empty.bin
for w in sparse:original.bin:sparse.bin all:original.bin:all.bin add:empty.bin:original.bin; do
    IFS=: read -r name orig result <<<"$w"
    "$apply" --check --seal "$name.manifest" "$result" "$name.patch" "$orig"
done
sync

median() { awk -F, 'NR == 2 { printf "%.3f", $4 }' "$1"; }
# time_it NAME PREPARE COMMAND: the median of 9 runs, each after PREPARE.
time_it() {
    hyperfine -N --warmup 1 --runs 9 --prepare "$2" --export-csv "$1.csv" "$3" >/dev/null || exit 1
    median "$1.csv"
}
max() { awk -v a="$1" -v b="$2" 'BEGIN { print (a > b ? a : b) }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
# at_once FILE...: a shell command hashing the files at once, one openssl each.
at_once() { echo "sh -c '$(printf 'openssl dgst -sha256 %s >/dev/null & ' "$@")wait'"; }
read_at_once() { echo "sh -c '$(printf 'cat %s >/dev/null & ' "$@")wait'"; }

rows_apply=() rows_check=()
for w in sparse:original.bin:sparse.bin all:original.bin:all.bin add:empty.bin:original.bin; do
    IFS=: read -r name orig result <<<"$w"
    clean="sh -c 'rm -f out.bin; sync'"
    t_sealed=$(time_it "$name-sealed" "$clean" "$apply --manifest $name.manifest out.bin $name.patch $orig")
    t_copy=$(BENCH_FLOOR_SYNC=1 time_it "$name-copy" "$clean" "$bin/bench_floor --apply out.bin $name.patch $orig")
    t_hash=$(time_it "$name-hash" "sync" "$(at_once "$orig" "$name.patch" "$result")")
    floor=$(max "$t_copy" "$t_hash")
    rows_apply+=("| $name | $t_sealed | $t_copy | $t_hash | $(ratio "$t_sealed" "$floor") |")
    t_check=$(time_it "$name-check" "sh -c 'rm -f check.manifest'" \
        "$apply --check --seal check.manifest $result $name.patch $orig")
    t_read=$(time_it "$name-read" "true" "$(read_at_once "$orig" "$name.patch" "$result")")
    floor=$(max "$t_read" "$t_hash")
    rows_check+=("| $name | $t_check | $t_read | $t_hash | $(ratio "$t_check" "$floor") |")
done
sha_ours=$("$bin/bench_sha256_speed" 1024 | awk '{ print $1 }')
sha_openssl=$(openssl speed -evp sha256 -bytes 1048576 -seconds 3 2>/dev/null |
    awk '$1 == "sha256" { sub(/k$/, "", $2); printf "%.2f", $2 * 1000 / 1e9 }')

echo
echo "$(date -u +%Y-%m-%d), $(nproc) cores, $(uname -sr), inputs of ${size_mib} MiB, medians of 9 runs, warm page cache"
echo
echo "| workload | --manifest apply, flushed (s) | copy floor, flushed (s) | three SHA-256 at once (s) | apply / slower floor |"
echo "|---|---|---|---|---|"
printf '%s\n' "${rows_apply[@]}"
echo
echo "| workload | --check --seal (s) | read the three at once (s) | three SHA-256 at once (s) | check / slower floor |"
echo "|---|---|---|---|---|"
printf '%s\n' "${rows_check[@]}"
echo
echo "SHA-256 on 1 MiB blocks: library $sha_ours GB/s, openssl speed -evp sha256 $sha_openssl GB/s ($(ratio "$sha_ours" "$sha_openssl")×)"
