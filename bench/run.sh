#!/usr/bin/env bash
# Times deltawright and deltawright-apply against their floors and against
# peers on 1 GiB workloads it makes itself, and measures peak memory.
# Run after `cmake --workflow --preset release`. Needs about 12 GiB of disk in
# $TMPDIR (default /tmp) and, for bsdiff, about 10 GiB of memory; installs
# hyperfine, xdelta3, bsdiff, eatmydata and GNU time if they are missing (as
# root, with apt-get). Both programs flush their output to stable storage
# before they exit; each of their rows is also timed under eatmydata, which
# turns fsync into nothing, to show what the flushing costs; the floors are timed both ways too (BENCH_FLOOR_SYNC=1 makes
# them fsync what they write). Making the bsdiff patches takes about ten minutes; BENCH_BSDIFF=0
# leaves bspatch out. bsdiff is never run on the pair where every byte
# differs (it took 598 s on a 64 MiB such pair here), nor on an empty
# original, which it refuses ("mmap() empty.bin: Invalid argument").
# Its last tables, updates in place on a 4 GiB target, dense patches in
# place on 256 MiB and sealed runs against their floors, are
# bench/in_place.sh's, bench/in_place_dense.sh's and bench/sealed.sh's.
# Usage: bench/run.sh [SIZE_MIB]   (default 1024)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bin=$root/build/release
size_mib=${1:-1024}
bsdiff_on=${BENCH_BSDIFF:-1}
for f in deltawright deltawright-apply bench_floor bench_make_workload bench_stream_apply \
    bench_sha256_speed bench_hash_files; do
    [ -x "$bin/$f" ] || { echo "missing $bin/$f: run cmake --workflow --preset release" >&2; exit 2; }
done

need=()
command -v hyperfine >/dev/null || need+=(hyperfine)
command -v xdelta3 >/dev/null || need+=(xdelta3)
[ "$bsdiff_on" = 0 ] || command -v bsdiff >/dev/null || need+=(bsdiff)
[ -x /usr/bin/time ] || need+=(time)
command -v cmp >/dev/null || need+=(diffutils)
command -v eatmydata >/dev/null || need+=(eatmydata)
command -v openssl >/dev/null || need+=(openssl)
if [ "${#need[@]}" -gt 0 ]; then
    if [ "$(id -u)" = 0 ]; then
        apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need[@]}"
    else
        echo "please install: ${need[*]}" >&2
        exit 2
    fi
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
echo "making ${size_mib} MiB workloads in $work ..."
head -c "$((size_mib * 1024 * 1024))" /dev/urandom >original.bin
cp original.bin identical.bin
"$bin/bench_make_workload" sparse original.bin sparse.bin
"$bin/bench_make_workload" all original.bin all.bin
: >empty.bin
head -c 1048576 original.bin >small.bin
"$bin/bench_make_workload" sparse small.bin small_sparse.bin
# Patches for the applier rows, made by each tool's own maker from the same
# pairs, all before any timing starts.
echo "making patches ..."
"$bin/deltawright" sparse.patch sparse.bin original.bin
"$bin/deltawright" all.patch all.bin original.bin
"$bin/deltawright" add.patch original.bin empty.bin
"$bin/deltawright" small.patch small_sparse.bin small.bin
xdelta3 -e -f -s original.bin sparse.bin sparse.xd3
xdelta3 -e -f -s original.bin all.bin all.xd3
xdelta3 -e -f -s empty.bin original.bin add.xd3
if [ "$bsdiff_on" != 0 ]; then
    bsdiff original.bin sparse.bin sparse.bsd
fi
cat ./*.bin ./*.patch ./*.xd3 >/dev/null  # warm the page cache
apply=$bin/deltawright-apply
# Each timed run starts with a new output file and no dirty pages left by the
# one before, so that no run pays for another's writeback.
clean() { echo "sh -c 'rm -f $*; sync'"; }

dw=$bin/deltawright
floor=$bin/bench_floor
# name | deltawright arguments | floor arguments | peer command (may be empty)
workloads=(
    "identical|out.patch identical.bin original.bin|out.floor identical.bin original.bin|cmp identical.bin original.bin"
    "sparse (1 byte per 4 KiB)|out.patch sparse.bin original.bin|out.floor sparse.bin original.bin|xdelta3 -e -f -s original.bin sparse.bin out.xd3"
    "every byte differs|out.patch all.bin original.bin|--write out.floor all.bin original.bin|"
    "empty original|out.patch original.bin empty.bin|--write out.floor original.bin empty.bin|"
)

results=$work/results.txt
: >"$results"
median() { # CSV from hyperfine: command,mean,stddev,median,...
    awk -F, 'NR == 2 { printf "%.3f", $4 }' "$1"
}
for w in "${workloads[@]}"; do
    IFS='|' read -r name dw_args floor_args peer <<<"$w"
    cmds=("$dw $dw_args" "$floor $floor_args" "eatmydata $dw $dw_args"
        "env BENCH_FLOOR_SYNC=1 $floor $floor_args")
    [ -n "$peer" ] && cmds+=("$peer")
    i=0
    for c in "${cmds[@]}"; do
        # -i because cmp exits 1 on differing files.
        hyperfine -N -i --warmup 2 --runs 9 --prepare "$(clean out.patch out.floor out.xd3)" \
            --export-csv "t$i.csv" "$c" >/dev/null
        i=$((i + 1))
    done
    t_dw=$(median t0.csv) t_floor=$(median t1.csv) t_unflushed=$(median t2.csv)
    t_floor_sync=$(median t3.csv) t_peer=""
    [ -n "$peer" ] && t_peer=$(median t4.csv)
    echo "$name|$t_dw|$t_floor_sync|$t_unflushed|$t_floor|${peer%% *}|$t_peer" >>"$results"
done

rss() { /usr/bin/time -f %M "$@" 2>&1 >/dev/null | tail -n 1; }
rss_small=$(rss "$dw" out.patch small_sparse.bin small.bin)
rss_large=$(rss "$dw" out.patch sparse.bin original.bin)

# name | patch | original | xdelta3 patch | bsdiff patch (may be empty)
apply_workloads=(
    "sparse (1 byte per 4 KiB)|sparse.patch|original.bin|sparse.xd3|sparse.bsd"
    "every byte differs|all.patch|original.bin|all.xd3|"
    "all add (empty original)|add.patch|empty.bin|add.xd3|"
)
apply_results=$work/apply_results.txt
: >"$apply_results"
for w in "${apply_workloads[@]}"; do
    IFS='|' read -r name patch orig xd bsd <<<"$w"
    cmds=("$apply out.bin $patch $orig" "$floor --apply out.floor $patch $orig"
        "xdelta3 -d -f -s $orig $xd out.xd3" "eatmydata $apply out.bin $patch $orig"
        "env BENCH_FLOOR_SYNC=1 $floor --apply out.floor $patch $orig"
        "$bin/bench_stream_apply 4096 out.bin $patch $orig")
    [ "$bsdiff_on" != 0 ] && [ -n "$bsd" ] && cmds+=("bspatch $orig out.bsp $bsd")
    times=() i=0
    for c in "${cmds[@]}"; do
        hyperfine -N --warmup 2 --runs 9 --prepare "$(clean out.bin out.floor out.xd3 out.bsp)" \
            --export-csv "a$i.csv" "$c" >/dev/null
        times+=("$(median "a$i.csv")")
        i=$((i + 1))
    done
    mem_apply=$(rss "$apply" out.bin "$patch" "$orig")
    cmp -s out.bin "$([ "$orig" = empty.bin ] && echo original.bin || echo "${patch%.patch}.bin")" ||
        { echo "applied $patch differs from its updated file" >&2; exit 1; }
    mem_xd=$(rss xdelta3 -d -f -s "$orig" "$xd" out.xd3)
    mem_bsp=-
    [ "${#times[@]}" = 7 ] && mem_bsp=$(rss bspatch "$orig" out.bsp "$bsd")
    echo "$name|${times[0]}|${times[4]}|${times[3]}|${times[1]}|${times[5]}|${times[2]}|${times[6]:-}|$mem_apply|$mem_xd|$mem_bsp" >>"$apply_results"
done
apply_rss_small=$(rss "$apply" out.bin small.patch small.bin)

# SHA-256 throughput on 256 KiB blocks: the library's against OpenSSL's
# (openssl speed prints thousands of bytes per second).
sha_ours=$("$bin/bench_sha256_speed" | awk '{ print $1 }')
sha_openssl=$(openssl speed -evp sha256 -bytes 262144 -seconds 3 2>/dev/null |
    awk '$1 == "sha256" { sub(/k$/, "", $2); printf "%.2f", $2 * 1000 / 1e9 }')

# Sealed applies: --manifest against hashing the original and the result
# once with the same code (bench_hash_files); both unflushed.
sealed_results=$work/sealed_results.txt
: >"$sealed_results"
for w in "${apply_workloads[@]}"; do
    IFS='|' read -r name patch orig _ _ <<<"$w"
    result=$([ "$orig" = empty.bin ] && echo original.bin || echo "${patch%.patch}.bin")
    "$apply" --check --seal "${patch%.patch}.manifest" "$result" "$patch" "$orig"
    cmds=("eatmydata $apply --manifest ${patch%.patch}.manifest out.bin $patch $orig"
        "$bin/bench_hash_files $orig $result" "$apply --manifest ${patch%.patch}.manifest out.bin $patch $orig")
    times=() i=0
    for c in "${cmds[@]}"; do
        hyperfine -N --warmup 2 --runs 9 --prepare "$(clean out.bin)" --export-csv "s$i.csv" "$c" >/dev/null
        times+=("$(median "s$i.csv")")
        i=$((i + 1))
    done
    echo "$name|${times[0]}|${times[1]}|${times[2]}" >>"$sealed_results"
done

echo
echo "$(date -u +%Y-%m-%d), $(nproc) cores, $(awk '/MemTotal/ { printf "%.0f GiB", $2 / 1048576 }' /proc/meminfo), $(uname -sr), inputs of ${size_mib} MiB, medians of 9 runs"
echo
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
echo "| workload | deltawright (s) | floor, flushed (s) | ratio | without flushing (s) | floor (s) | ratio | peer | peer (s) | peer / deltawright |"
echo "|---|---|---|---|---|---|---|---|---|---|"
while IFS='|' read -r name t_dw t_floor_sync t_unflushed t_floor peer t_peer; do
    speedup=""
    [ -n "$t_peer" ] && speedup=$(awk -v a="$t_peer" -v b="$t_dw" 'BEGIN { printf "%.1f×", a / b }')
    echo "| $name | $t_dw | $t_floor_sync | $(ratio "$t_dw" "$t_floor_sync") | $t_unflushed | $t_floor | $(ratio "$t_unflushed" "$t_floor") | ${peer:--} | ${t_peer:--} | ${speedup:--} |"
done <"$results"
echo
echo "peak resident memory of deltawright: ${rss_small} KiB on 1 MiB inputs, ${rss_large} KiB on ${size_mib} MiB inputs"
echo
echo "| workload | deltawright-apply (s) | floor, flushed (s) | ratio | without flushing (s) | floor (s) | ratio | library, 4 KiB chunks (s) | xdelta3 -d (s) | bspatch (s) | peak KiB: apply / xdelta3 -d / bspatch |"
echo "|---|---|---|---|---|---|---|---|---|---|---|"
while IFS='|' read -r name t_apply t_floor_sync t_unflushed t_floor t_chunks t_xd t_bsp m_apply m_xd m_bsp; do
    echo "| $name | $t_apply | $t_floor_sync | $(ratio "$t_apply" "$t_floor_sync") | $t_unflushed | $t_floor | $(ratio "$t_unflushed" "$t_floor") | $t_chunks | $t_xd | ${t_bsp:--} | $m_apply / $m_xd / $m_bsp |"
done <"$apply_results"
echo
echo "peak resident memory of deltawright-apply: ${apply_rss_small} KiB on 1 MiB inputs"
echo
echo "SHA-256 on 256 KiB blocks: library $sha_ours GB/s, openssl speed -evp sha256 $sha_openssl GB/s ($(ratio "$sha_ours" "$sha_openssl")×)"
echo
echo "| workload | --manifest apply, without flushing (s) | hash original and result (s) | ratio | --manifest apply, flushed (s) |"
echo "|---|---|---|---|---|"
while IFS='|' read -r name t_sealed t_hash t_flushed; do
    echo "| $name | $t_sealed | $t_hash | $(ratio "$t_sealed" "$t_hash") | $t_flushed |"
done <"$sealed_results"

# Updates in place, on a target of their own (4 GiB; BENCH_IN_PLACE_MIB sets it).
echo
bash "$root/bench/in_place.sh" "${BENCH_IN_PLACE_MIB:-4096}" | sed -n '/^[0-9]\{4\}-/,$p'
bash "$root/bench/in_place_dense.sh" 256 | sed -n '/^[0-9]\{4\}-/,$p'
bash "$root/bench/sealed.sh" "$size_mib" | sed -n '/^[0-9]\{4\}-/,$p'
