#!/usr/bin/env bash
# Sealed runs against their floors, in one run: a --manifest apply against
# the slower of the plain apply's copy floor (bench_floor --apply, flushed)
# and the three SHA-256 digests it needs (original, patch and result: three
# `openssl dgst -sha256` started together); --check --seal against the
# slower of reading the three files and hashing them at once; and the
# library's SHA-256 against `openssl speed -evp sha256` on 1 MiB blocks.
# Each row alternates its commands round by round (bench/pairs.sh) and
# gives the median of the rounds' ratios; a sealed apply of the sparse pair
# to /dev/null (no disk at all) is set against the three digests alone; and
# the whole system's processor time during one run of each shows what two
# processors must do for a flushed sealed apply.
# Progress is off (no terminal). bench/run.sh runs this after its own rows;
# alone: bench/sealed.sh [SIZE_MIB] (default 1024). Needs 6 × SIZE of disk in
# $TMPDIR (default /tmp), openssl and a release build.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bin=$root/build/release
size_mib=${1:-1024}
for f in deltawright deltawright-apply bench_floor bench_make_workload bench_sha256_speed; do
    [ -x "$bin/$f" ] || { echo "missing $bin/$f: run cmake --workflow --preset release" >&2; exit 2; }
done
for tool in openssl; do
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

. "$root/bench/pairs.sh"
rounds_n=${BENCH_ROUNDS:-9}
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
# at_once FILE...: a shell command hashing the files at once, one openssl each.
at_once() { echo "$(printf 'openssl dgst -sha256 %s >/dev/null & ' "$@")wait"; }
read_at_once() { echo "$(printf 'cat %s >/dev/null & ' "$@")wait"; }
# cpu COMMAND: the processor time of the whole system (user and system, all
# processes, the kernel's writeback included) while COMMAND runs, in seconds.
cpu() {
    local a b
    a=$(awk '/^cpu / { print $2 + $3 + $4 + $7 + $8 }' /proc/stat)
    sh -c "$1" >/dev/null 2>&1
    b=$(awk '/^cpu / { print $2 + $3 + $4 + $7 + $8 }' /proc/stat)
    awk -v a="$a" -v b="$b" -v hz="$(getconf CLK_TCK)" 'BEGIN { printf "%.2f", (b - a) / hz }'
}

rows_apply=() rows_check=() rows_cpu=()
clean="rm -f out.bin; sync"
for w in sparse:original.bin:sparse.bin all:original.bin:all.bin add:empty.bin:original.bin; do
    IFS=: read -r name orig result <<<"$w"
    sealed="$apply --manifest $name.manifest out.bin $name.patch $orig"
    copy="BENCH_FLOOR_SYNC=1 $bin/bench_floor --apply out.bin $name.patch $orig"
    hash=$(at_once "$orig" "$name.patch" "$result")
    # The copy and the digests at once, four processes: what overlapping
    # them costs this machine, whatever the program.
    both="$copy & $hash"
    rounds "$rounds_n" "$clean" "$sealed" "$clean" "$copy" "sync" "$hash" "$clean" "$both" >times.txt
    read -r t_sealed t_copy t_hash t_both r <times.txt
    r_floor=$(rounds_ratio "$rounds_n" 1 2 3)
    r_both=$(rounds_ratio "$rounds_n" 1 4)
    rows_apply+=("| $name | $t_sealed | $t_copy | $t_hash | $r_floor | $t_both | $r_both |")
    rm -f out.bin
    sync
    rows_cpu+=("| $name | $(cpu "$sealed; rm -f out.bin; sync") | $(cpu "$copy; rm -f out.bin; sync") | $(cpu "$hash") |")
    read -r t_check t_read t_hash r < <(rounds "$rounds_n" "rm -f check.manifest" \
        "$apply --check --seal check.manifest $result $name.patch $orig" "true" \
        "$(read_at_once "$orig" "$name.patch" "$result")" "true" "$hash")
    rows_check+=("| $name | $t_check | $t_read | $t_hash | $r |")
done
# No disk at all: the sealed apply of the sparse pair to /dev/null.
read -r t_null t_hash r < <(rounds "$rounds_n" "true" \
    "$apply --manifest sparse.manifest /dev/null sparse.patch original.bin" "true" \
    "$(at_once original.bin sparse.patch sparse.bin)")
sha_ours=$("$bin/bench_sha256_speed" 1024 | awk '{ print $1 }')
sha_openssl=$(openssl speed -evp sha256 -bytes 1048576 -seconds 3 2>/dev/null |
    awk '$1 == "sha256" { sub(/k$/, "", $2); printf "%.2f", $2 * 1000 / 1e9 }')

echo
echo "$(date -u +%Y-%m-%d), $(nproc) cores, $(uname -sr), inputs of ${size_mib} MiB, warm page cache; each row the median of $rounds_n rounds, each round running its commands in turn, twice each (bench/pairs.sh)"
echo
echo "| workload | --manifest apply, flushed (s) | copy floor, flushed (s) | three SHA-256 at once (s) | apply / slower floor | the copy and the three at once (s) | apply / them at once |"
echo "|---|---|---|---|---|---|---|"
printf '%s\n' "${rows_apply[@]}"
echo "| sparse, to /dev/null | $t_null | - | $t_hash | $r | - | - |"
echo
echo "| workload | --check --seal (s) | read the three at once (s) | three SHA-256 at once (s) | check / slower floor, median of the rounds |"
echo "|---|---|---|---|---|"
printf '%s\n' "${rows_check[@]}"
echo
echo "Processor time of the whole system during one run (user and system, the kernel's writeback included; s):"
echo
echo "| workload | --manifest apply, flushed | copy floor, flushed | three SHA-256 at once |"
echo "|---|---|---|---|"
printf '%s\n' "${rows_cpu[@]}"
echo
echo "SHA-256 on 1 MiB blocks: library $sha_ours GB/s, openssl speed -evp sha256 $sha_openssl GB/s ($(ratio "$sha_ours" "$sha_openssl")×)"
