#!/usr/bin/env bash
# Dense patches in place against a normal apply of the same pair to a new
# file, in one run: `every4` and `every2` change every fourth and every
# other byte of a SIZE_MIB target (a record per changed byte, the densest
# patches there are). Every run flushes. Each row alternates its two
# commands round by round (bench/pairs.sh), 9 rounds after a warm-up, and
# gives the median of the rounds' ratios:
#   --in-place against the normal apply;
#   --in-place --manifest against its floor: one read and SHA-256 of the
#   target, then the updated file written over it and flushed (dd
#   conv=notrunc,fdatasync), which is every page a dense patch changes.
# Each in-place run starts from the original (copied back, untimed).
# Alone: bench/in_place_dense.sh [SIZE_MIB] (default 256). Needs about
# 9 × SIZE of disk in $TMPDIR (default /tmp), openssl and a release build.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bin=$root/build/release
size_mib=${1:-256}
rounds_n=${BENCH_ROUNDS:-9}
for f in deltawright deltawright-apply bench_make_workload; do
    [ -x "$bin/$f" ] || { echo "missing $bin/$f: run cmake --workflow --preset release" >&2; exit 2; }
done
command -v openssl >/dev/null || { echo "please install openssl" >&2; exit 2; }
. "$root/bench/pairs.sh"
apply=$bin/deltawright-apply

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
echo "making a ${size_mib} MiB target in $work ..."
head -c "$((size_mib * 1024 * 1024))" /dev/urandom >original.bin
rows=()
for w in every4 every2; do
    "$bin/bench_make_workload" "$w" original.bin "$w.bin"
    "$bin/deltawright" "$w.patch" "$w.bin" original.bin
    "$apply" --check --seal "$w.manifest" "$w.bin" "$w.patch" original.bin
    sync
    restore="cp original.bin target.bin; sync"
    clean="rm -f out.bin; sync"
    normal="$apply out.bin $w.patch original.bin"
    read -r t_in t_normal r_in < <(rounds "$rounds_n" "$restore" "$apply --in-place target.bin $w.patch" \
        "$clean" "$normal")
    cmp -s target.bin "$w.bin" || { echo "--in-place did not make $w.bin" >&2; exit 1; }
    floor="openssl dgst -sha256 target.bin; dd if=$w.bin of=target.bin bs=1M conv=notrunc,fdatasync status=none"
    read -r t_sealed t_floor r_sealed < <(rounds "$rounds_n" "$restore" \
        "$apply --in-place --manifest $w.manifest target.bin $w.patch" "$restore" "$floor")
    "$apply" --in-place --manifest "$w.manifest" target.bin "$w.patch" 2>/dev/null
    cmp -s target.bin "$w.bin" || { echo "--in-place --manifest did not make $w.bin" >&2; exit 1; }
    rows+=("| $w | $(stat -c %s "$w.patch") | $t_normal | $t_in | $r_in | $t_sealed | $t_floor | $r_sealed |")
    rm -f "$w.bin" out.bin
done

echo
echo "$(date -u +%Y-%m-%d), $(nproc) cores, $(uname -sr), a ${size_mib} MiB target, medians of $rounds_n alternating rounds, flushed"
echo
echo "| workload | patch (bytes) | normal apply (s) | --in-place (s) | in place / normal | --in-place --manifest (s) | hash of the target + the writes (s) | sealed / floor |"
echo "|---|---|---|---|---|---|---|---|"
printf '%s\n' "${rows[@]}"
