#!/usr/bin/env bash
# Times deltawright-apply --in-place against a normal apply of the same patch
# to a new file: a 4 GiB target and a 1 MiB sparse patch (a run of 250 bytes
# changed at the start of every MiB: 4096 records). Every run flushes to
# stable storage, as both modes do before they exit. Each in-place run starts
# from the original: a reverse patch, applied in place before it (untimed),
# puts the original back. A cold row drops the page cache before each run,
# where the system lets it (root). A floor row times the same writes and
# the flush alone (bench_write_floor); the sealed row's floor is one read
# and hash of the target (openssl dgst -sha256). bench/run.sh runs this after its own rows;
# alone: bench/in_place.sh [SIZE_MIB] (default 4096). Needs 3 × SIZE of disk
# in $TMPDIR (default /tmp), hyperfine, and a release build.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bin=$root/build/release
size_mib=${1:-4096}
for f in deltawright deltawright-apply bench_make_workload bench_write_floor; do
    [ -x "$bin/$f" ] || { echo "missing $bin/$f: run cmake --workflow --preset release" >&2; exit 2; }
done
command -v hyperfine >/dev/null || { echo "please install hyperfine" >&2; exit 2; }
apply=$bin/deltawright-apply

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
echo "making a ${size_mib} MiB target in $work ..."
head -c "$((size_mib * 1024 * 1024))" /dev/urandom >target.bin
"$bin/bench_make_workload" runs target.bin updated.bin
"$bin/deltawright" forward.patch updated.bin target.bin
"$bin/deltawright" back.patch target.bin updated.bin
"$apply" --check --seal forward.manifest updated.bin forward.patch target.bin
rm updated.bin  # the in-place runs check against the manifest instead
sync

median() { awk -F, 'NR == 2 { printf "%.4f", $4 }' "$1"; }
# time NAME PREPARE COMMAND: the median of 9 runs, each after PREPARE.
time_it() {
    hyperfine -N --warmup 1 --runs 9 --prepare "$2" --export-csv "$1.csv" "$3" >/dev/null || exit 1
    median "$1.csv"
}
restore="$apply --in-place target.bin back.patch"
cold=""
if [ -w /proc/sys/vm/drop_caches ]; then
    cold="; sync; echo 3 >/proc/sys/vm/drop_caches"
fi
# The in-place rows first, on a file system that has settled (no 4 GiB file
# freed just before). Each run starts from the original.
t_normal_cold=- t_in_place_cold=-
t_in_place=$(time_it in_place "sh -c '$restore >/dev/null 2>&1; sync'" "$apply --in-place target.bin forward.patch")
if [ -n "$cold" ]; then
    t_in_place_cold=$(time_it in_place_cold "sh -c '$restore >/dev/null 2>&1$cold'" \
        "$apply --in-place target.bin forward.patch")
fi
t_sealed=$(time_it sealed "sh -c '$restore >/dev/null 2>&1; sync'" \
    "$apply --in-place --manifest forward.manifest target.bin forward.patch")
# The sealed row's floor: one read and hash of the target.
t_hash=$(time_it hash "sync" "openssl dgst -sha256 target.bin")
# The floor: the same 4096 writes and the flush alone (bench_write_floor).
t_floor=$(time_it floor "sh -c '$apply --in-place --force target.bin back.patch >/dev/null 2>&1; sync'" \
    "$bin/bench_write_floor target.bin")
$apply --in-place --force target.bin forward.patch
# The last run left the updated file, as the manifest tells; then the
# original again, for the normal applies.
"$apply" --in-place --manifest forward.manifest target.bin forward.patch 2>&1 | grep -q 'up to date' ||
    { echo "the in-place runs did not leave the updated file" >&2; exit 1; }
$restore
t_normal=$(time_it normal "sh -c 'rm -f out.bin; sync'" "$apply out.bin forward.patch target.bin")
if [ -n "$cold" ]; then
    t_normal_cold=$(time_it normal_cold "sh -c 'rm -f out.bin$cold'" "$apply out.bin forward.patch target.bin")
fi

percent() { awk -v a="$1" -v b="$2" 'BEGIN { if (a == "-" || b == "-") print "-"; else printf "%.2f %%", 100 * a / b }'; }
echo
echo "$(date -u +%Y-%m-%d), $(nproc) cores, $(uname -sr), a ${size_mib} MiB target, a patch of $(stat -c %s forward.patch) bytes, medians of 9 runs, flushed"
echo
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
echo "| page cache | normal apply to a new file (s) | --in-place (s) | in place / normal | its writes and flush alone (s) | --in-place --manifest (s) | openssl dgst -sha256 TARGET (s) | sealed / hash |"
echo "|---|---|---|---|---|---|---|---|"
echo "| warm | $t_normal | $t_in_place | $(percent "$t_in_place" "$t_normal") | $t_floor | $t_sealed | $t_hash | $(ratio "$t_sealed" "$t_hash") |"
echo "| dropped before each run | $t_normal_cold | $t_in_place_cold | $(percent "$t_in_place_cold" "$t_normal_cold") | - | - | - | - |"
