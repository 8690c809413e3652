#!/usr/bin/env bash
# deltawright-apply --in-place as its users meet it: tables of command lines
# with their exact message and status, each followed by what TARGET holds
# (byte for byte and, after a refusal, its modification time); runs killed
# at every write (strace's fault injection) and run again; a loop device.
# PART is `files`, `interrupted` (the runs killed; skipped, status 77,
# without strace) or `block-device` (skipped, status 77, with the reason,
# where no loop device can be set up).
# Usage: in_place.sh PART PATH_TO_DELTAWRIGHT_APPLY PATH_TO_DELTAWRIGHT
set -u
# shellcheck source=init.sh
. "$(dirname "$0")/init.sh"
part=$1
apply=$(realpath "$2")
maker=$(realpath "$3")
work=$(mktemp -d)
loop_device=""
trap '[ -n "$loop_device" ] && losetup -d "$loop_device"; rm -rf "$work"' EXIT
cd "$work" || exit 1

P=deltawright-apply
passed=0 failed=0
pass() { passed=$((passed + 1)); }
fail() { failed=$((failed + 1)); printf 'FAIL: %s\n' "$1"; }
check() {
    local what=$1
    shift
    if "$@"; then pass; else fail "$what"; fi
}
# t STATUS STDERR ARG...: runs the applier; checks status, stderr, empty stdout.
t() {
    local want_status=$1 want_err=$2
    shift 2
    "$apply" "$@" >out.txt 2>err.txt </dev/null
    local status=$?
    if [ "$status" = "$want_status" ] && [ "$(cat err.txt)" = "$want_err" ] && [ ! -s out.txt ]; then
        pass
    else
        fail "$P $*: status $status (want $want_status), stderr '$(cat err.txt)' (want '$want_err')"
    fi
}
# bump FILE AT COUNT: adds 1 to each of COUNT bytes at AT, so each differs.
bump() {
    dd if="$1" bs=1 skip="$2" count="$3" status=none | tr '\000-\377' '\001-\377\000' |
        dd of="$1" bs=1 seek="$2" conv=notrunc status=none
}
# copy FROM TO AT COUNT: COUNT bytes at AT of FROM written over TO's.
copy() { dd if="$1" of="$2" bs=1 skip="$3" seek="$3" count="$4" conv=notrunc status=none; }
stamp() { stat -c '%s %y' "$1"; }
# unchanged TARGET COPY STAMP: TARGET still holds COPY's bytes and STAMP's time.
unchanged() { cmp -s "$1" "$2" && [ "$(stamp "$1")" = "$3" ]; }

# fixture PREFIX SIZE SHORT AT1 AT2 AT3 AT4: PREFIXorig.bin of SIZE random
# bytes; PREFIXupd.bin with 10, 600, 1 and 255 bytes changed at AT1..AT4;
# PREFIXlong.bin (700 bytes added) and PREFIXshort.bin (its first SHORT);
# their patches and manifests, and PREFIXaddshort.manifest, the add patch
# sealed with the shorter updated file (nothing past SHORT is written).
fixture() {
    local p=$1
    head -c "$2" /dev/urandom >"${p}orig.bin"
    cp "${p}orig.bin" "${p}upd.bin"
    bump "${p}upd.bin" "$4" 10
    bump "${p}upd.bin" "$5" 600
    bump "${p}upd.bin" "$6" 1
    bump "${p}upd.bin" "$7" 255
    { cat "${p}upd.bin"; head -c 700 /dev/urandom; } >"${p}long.bin"
    head -c "$3" "${p}upd.bin" >"${p}short.bin"
    for w in rep:upd add:long short:short; do
        "$maker" "${p}${w%%:*}.patch" "${p}${w#*:}.bin" "${p}orig.bin"
        "$apply" --check --seal "${p}${w%%:*}.manifest" "${p}${w#*:}.bin" "${p}${w%%:*}.patch" "${p}orig.bin"
    done
    "$apply" --check --seal "${p}addshort.manifest" "${p}short.bin" "${p}add.patch" "${p}orig.bin"
}
# An original of 8 KiB and an updated file of the same size that differs in
# four runs: 10 bytes at 100, 600 at 1000 (three adjacent records, one
# write), 1 at 3000, 255 at 5000. So the patch's replace bytes are known.
fixture "" 8192 4000 100 1000 3000 5000

# A block device: a loop device over an image of the original.
if [ "$part" = block-device ]; then
    cp orig.bin orig-copy.bin
    [ "$(id -u)" = 0 ] || { echo "skipped: a loop device needs root"; exit 77; }
    need_tool losetup mount
    loop_device=$(losetup --find --show orig.bin 2>err.txt) ||
        { echo "skipped: no loop device here: $(cat err.txt)"; loop_device=""; exit 77; }
    t 0 "" --in-place "$loop_device" rep.patch
    check "the loop device holds the updated file" cmp -s "$loop_device" upd.bin
    t 0 "$P: $loop_device is already up to date with rep.patch: nothing written" \
        --in-place "$loop_device" rep.patch
    t 2 "$P: cannot update $loop_device in place: it is a block device of 8192 bytes and the updated file has 8892" \
        --in-place --manifest add.manifest "$loop_device" add.patch
    losetup -d "$loop_device"
    loop_device=""
    check "the image holds the updated file" cmp -s orig.bin upd.bin
    # A device of the updated size takes the add data, and is not resized
    # (whole sectors: 1024 bytes added).
    { cat orig-copy.bin; head -c 1024 /dev/urandom; } >long2.bin
    "$maker" add2.patch long2.bin orig-copy.bin
    "$apply" --check --seal add2.manifest long2.bin add2.patch orig-copy.bin
    { cat orig-copy.bin; head -c 1024 /dev/zero; } >grown.bin
    loop_device=$(losetup --find --show grown.bin)
    t 0 "$P: $loop_device is partly updated: completing the update" \
        --in-place --manifest add2.manifest "$loop_device" add2.patch
    check "the loop device of the updated size holds the longer updated file" cmp -s "$loop_device" long2.bin
    losetup -d "$loop_device"
    loop_device=""
    echo "in place, block device: $passed passed, $failed failed"
    [ "$failed" = 0 ]
    exit
fi

# Killed at its Nth write (or its truncation, or its flush), then run again:
# TARGET ends as the updated file. N runs past the last write, so that every
# write is covered: the last run completes under strace.
if [ "$part" = interrupted ]; then
    need_tool strace strace
    # Runs that lie in the same or neighbouring 4 KiB pages are written as
    # one span: the four runs above are one write. So that each run is a
    # write of its own, the same shapes spread pages apart (s*): 10 bytes at
    # 100, 600 at 9000, 1 at 20000, 255 at 30000 of 40 KiB.
    fixture s 40960 25000 100 9000 20000 30000
    # original | patch | manifest (or -) | updated | runs killed: at a write, a truncation, a flush
    kills=("orig.bin|rep.patch|-|upd.bin|1 0 1" "orig.bin|rep.patch|rep.manifest|upd.bin|1 0 1"
        "orig.bin|add.patch|add.manifest|long.bin|1 1 1"
        "sorig.bin|srep.patch|-|supd.bin|4 0 1" "sorig.bin|srep.patch|srep.manifest|supd.bin|4 0 1"
        "sorig.bin|sadd.patch|sadd.manifest|slong.bin|5 1 1"
        "sorig.bin|sshort.patch|sshort.manifest|sshort.bin|3 1 1"
        "sorig.bin|sadd.patch|saddshort.manifest|sshort.bin|3 1 1")
    for row in "${kills[@]}"; do
        IFS='|' read -r original patch manifest updated want_kills <<<"$row"
        m=()
        [ "$manifest" = - ] || m=(--manifest "$manifest")
        kills_seen=""
        for call in pwrite64 ftruncate fdatasync; do
            n=1
            while :; do
                cp "$original" T
                # (Through sh, which reports the kill in the status only.)
                # (LeakSanitizer cannot work under a tracer.)
                ASAN_OPTIONS=detect_leaks=0 sh -c '"$@" >/dev/null 2>&1; exit $?' sh \
                    strace -f -o /dev/null -e trace=$call \
                    -e inject=$call:signal=SIGKILL:when=$n "$apply" --in-place "${m[@]}" T "$patch"
                status=$?
                [ "$status" = 137 ] || [ "$status" = 0 ] ||
                    fail "$patch ${manifest}: run killed at $call $n: status $status"
                "$apply" --in-place "${m[@]}" T "$patch" >/dev/null 2>err.txt ||
                    fail "$patch ${manifest}: run again after $call $n: $(cat err.txt)"
                check "$patch ${manifest}: killed at $call $n, run again: T is $updated" \
                    cmp -s T "$updated"
                [ "$status" = 137 ] || break
                n=$((n + 1))
            done
            kills_seen="$kills_seen $((n - 1))"
        done
        check "$patch ${manifest}: runs killed$kills_seen (want $want_kills)" [ "${kills_seen# }" = "$want_kills" ]
    done
    # Without a manifest the four runs pages apart are four writes, the
    # 600-byte run one of them; the four in two pages are one.
    cp sorig.bin T
    ASAN_OPTIONS=detect_leaks=0 strace -f -o trace.txt -e trace=pwrite64 "$apply" --in-place T srep.patch
    check "four writes for four runs pages apart" [ "$(grep -c '^[0-9]* *pwrite64' trace.txt)" = 4 ]
    cp orig.bin T
    ASAN_OPTIONS=detect_leaks=0 strace -f -o trace.txt -e trace=pwrite64 "$apply" --in-place T rep.patch
    check "one write for four runs in two pages" [ "$(grep -c '^[0-9]* *pwrite64' trace.txt)" = 1 ]
    check "that write spans the runs: 5155 bytes at 100" \
        grep -q 'pwrite64([0-9]*, ".*"\.\.\., 5155, 100)' trace.txt
    # A write the storage lost (strace makes the call report success and
    # do nothing): the last pass finds it, by the bytes read back, or, for
    # a patch larger than the result, by the target's digest.
    head -c 2048 /dev/urandom >dorig.bin
    cp dorig.bin dupd.bin
    for ((at = 0; at < 2048; at += 2)); do bump dupd.bin "$at" 1; done
    "$maker" dense.patch dupd.bin dorig.bin
    "$apply" --check --seal dense.manifest dupd.bin dense.patch dorig.bin
    # original | patch | manifest | the one write's size | message
    lost=("orig.bin|rep.patch|rep.manifest|5155|$P: target T does not match rep.manifest after the update: byte 100 does not hold what was written; something else wrote to it, or the storage lost writes"
        "dorig.bin|dense.patch|dense.manifest|2047|$P: target T does not match dense.manifest after the update: its SHA-256 is $(sha256sum dorig.bin | cut -c1-64), the manifest says $(sha256sum dupd.bin | cut -c1-64); something else wrote to it, or the storage lost writes")
    for row in "${lost[@]}"; do
        IFS='|' read -r original patch manifest size message <<<"$row"
        cp "$original" T
        ASAN_OPTIONS=detect_leaks=0 strace -f -o /dev/null -e trace=pwrite64 \
            -e inject=pwrite64:retval="$size":when=1 "$apply" --in-place --manifest "$manifest" T "$patch" 2>err.txt
        status=$?
        check "$patch, its write lost: status $status (want 2), stderr '$(cat err.txt)'" \
            [ "$status:$(cat err.txt)" = "2:$message" ]
    done
    echo "in place, interrupted: $passed passed, $failed failed"
    [ "$failed" = 0 ]
    exit
fi

# Updates that complete: TARGET starts as NAME, ends as the updated file.
# start | manifest (or -) | patch | updated | status | message
updates=(
    "orig.bin|-|rep.patch|upd.bin|0|"
    "upd.bin|-|rep.patch|upd.bin|0|$P: T is already up to date with rep.patch: nothing written"
    "part.bin|-|rep.patch|upd.bin|0|$P: T is partly updated, up to byte 1300: completing the update"
    "orig.bin|rep.manifest|rep.patch|upd.bin|0|"
    "part.bin|rep.manifest|rep.patch|upd.bin|0|$P: T is partly updated: completing the update"
    "mixed.bin|rep.manifest|rep.patch|upd.bin|0|$P: T is partly updated: completing the update"
    "upd.bin|rep.manifest|rep.patch|upd.bin|0|$P: T is already up to date with rep.patch: nothing written"
    "orig.bin|add.manifest|add.patch|long.bin|0|"
    "half-added.bin|add.manifest|add.patch|long.bin|0|$P: T is partly updated: completing the update"
    "long.bin|add.manifest|add.patch|long.bin|0|$P: T is already up to date with add.patch: nothing written"
    "orig.bin|short.manifest|short.patch|short.bin|0|"
    "short.bin|short.manifest|short.patch|short.bin|0|$P: T is already up to date with short.patch: nothing written"
    "orig.bin|addshort.manifest|add.patch|short.bin|0|"
    "part.bin|addshort.manifest|add.patch|short.bin|0|$P: T is partly updated: completing the update"
    "short.bin|addshort.manifest|add.patch|short.bin|0|$P: T is already up to date with add.patch: nothing written"
)
# Partly updated in order: up to the middle of the second run.
cp orig.bin part.bin
copy upd.bin part.bin 0 1300
# Later writes kept, earlier ones lost, as a power cut may leave it.
cp orig.bin mixed.bin
copy upd.bin mixed.bin 5000 255
# Appending cut short: the replaced bytes written, half the added bytes.
head -c 8542 long.bin >half-added.bin
for row in "${updates[@]}"; do
    IFS='|' read -r start manifest patch updated status message <<<"$row"
    cp "$start" T
    m=()
    [ "$manifest" = - ] || m=(--manifest "$manifest")
    t "$status" "$message" --in-place "${m[@]}" T "$patch"
    check "from $start with ${manifest}: T is $updated" cmp -s T "$updated"
done
# --force takes what a power cut left without a manifest.
cp mixed.bin T
t 0 "" --in-place --force T rep.patch
check "--force from mixed.bin: T is upd.bin" cmp -s T upd.bin
# Nothing is written when TARGET is up to date, not even its time.
cp upd.bin T
before=$(stamp T)
sleep 0.01
t 0 "$P: T is already up to date with rep.patch: nothing written" --in-place T rep.patch
check "an up-to-date T keeps its time" unchanged T upd.bin "$before"

# Refusals: TARGET unchanged, in its bytes and its time.
cp upd.bin one-off.bin
copy orig.bin one-off.bin 1100 1  # a replaced byte back to the original's
cp upd.bin kept-off.bin
bump kept-off.bin 2000 1  # a byte the patch keeps
head -c 8192 /dev/urandom >other.bin
head -c 4500 orig.bin >shorter.bin
cp rep.patch bad.patch
printf '\002' | dd of=bad.patch bs=1 seek=60 conv=notrunc status=none
cp rep.patch cut.patch
truncate -s -1 cut.patch
# start | arguments after --in-place (T is the target) | status | message
refusals=(
    "orig.bin|T bad.patch|1|$P: bad.patch: invalid patch: record at byte 60: unknown command (neither replace 0 nor add 1)"
    "orig.bin|T cut.patch|1|$P: cut.patch: invalid patch: record at byte 701: record cut short by the end of the patch"
    "mixed.bin|T rep.patch|1|$P: rep.patch does not fit T: byte 5000 already holds the patched value but byte 100 before it does not, which no update in order leaves: it is another file, or lost writes in a power cut; --force applies it anyway"
    "one-off.bin|T rep.patch|1|$P: rep.patch does not fit T: byte 1101 already holds the patched value but byte 1100 before it does not, which no update in order leaves: it is another file, or lost writes in a power cut; --force applies it anyway"
    "shorter.bin|T rep.patch|1|$P: rep.patch: invalid patch: record at byte 701: replace record reaches past the end of the original"
    "orig.bin|T add.patch|2|$P: add.patch has add records: an update of T in place that is cut short could not be resumed without knowing where the original ended; seal a manifest with deltawright-apply --check --seal MANIFEST UPDATED PATCH ORIGINAL and give it with --manifest"
    "orig.bin|--force T add.patch|2|$P: add.patch has add records: an update of T in place that is cut short could not be resumed without knowing where the original ended; seal a manifest with deltawright-apply --check --seal MANIFEST UPDATED PATCH ORIGINAL and give it with --manifest"
    "other.bin|--manifest rep.manifest T rep.patch|1|$P: target T does not match rep.manifest: it is not the original, the updated file, or an update cut short (the result would have 8192 bytes and SHA-256 @; the manifest says 8192 and @)"
    "kept-off.bin|--manifest rep.manifest T rep.patch|1|$P: target T does not match rep.manifest: it is not the original, the updated file, or an update cut short (the result would have 8192 bytes and SHA-256 @; the manifest says 8192 and @)"
    "shorter.bin|--manifest rep.manifest T rep.patch|1|$P: target T does not match rep.manifest: 4500 bytes; the original has 8192 and the updated file 8192, and an update cut short leaves a size between them"
    "orig.bin|--manifest add.manifest T rep.patch|1|$P: patch rep.patch does not match add.manifest: 962 bytes, the manifest says @"
    "shorter.bin|--manifest add.manifest T rep.patch|1|$P: patch rep.patch does not match add.manifest: 962 bytes, the manifest says @"
    "shorter.bin|--manifest addshort.manifest T add.patch|1|$P: target T does not match addshort.manifest: it is shorter than the original (4500 bytes, the original has 8192) but not the updated file (SHA-256 @, the manifest says 4000 bytes and @)"
    "orig.bin|T -|2|$P: cannot apply a patch in place from standard input: it is read twice, so it must be a regular file"
    "orig.bin|T /dev/stdin|2|$P: cannot apply /dev/stdin in place: the patch is read twice, so it must be a regular file, not a pipe or a device"
    "orig.bin|T T|2|$P: cannot update T in place: it is the patch file"
    "orig.bin|T|2|$P: usage: deltawright-apply --in-place [--manifest MANIFEST] [--force] TARGET PATCH"
    "orig.bin|--check T rep.patch|2|$P: --check and --in-place exclude each other: one mode at a time"
)
for row in "${refusals[@]}"; do
    IFS='|' read -r start args status message <<<"$row"
    cp "$start" T
    before=$(stamp T)
    sleep 0.01
    read -r -a argv <<<"$args"
    # Digests and sizes that vary from run to run are written @.
    "$apply" --in-place "${argv[@]}" >out.txt 2>err.txt < <(cat rep.patch)  # stdin: a pipe
    got=$?
    err=$(sed -E 's/[0-9a-f]{64}/@/g; s/the manifest says [0-9]+$/the manifest says @/' err.txt)
    if [ "$got" = "$status" ] && [ "$err" = "$message" ] && [ ! -s out.txt ]; then
        pass
    else
        fail "$P --in-place $args from $start: status $got (want $status), stderr '$err' (want '$message')"
    fi
    check "T unchanged after --in-place $args from $start" unchanged T "$start" "$before"
done
# Targets that cannot be updated in place.
mkdir adir
t 2 "$P: cannot open target /dev/null: not a regular file or a block device" \
    --in-place /dev/null rep.patch
t 2 "$P: cannot open target adir: Is a directory" --in-place adir rep.patch
t 2 "$P: cannot open target absent: No such file or directory" --in-place absent rep.patch
t 2 "$P: cannot update standard output in place: the target must be a regular file or a block device" \
    --in-place - rep.patch
# A second update of the same file at the same time is refused.
cp orig.bin T
if command -v flock >/dev/null; then
    flock T sleep 2 &
    holder=$!
    sleep 0.3
    t 2 "$P: cannot open target T: another process is updating it" --in-place T rep.patch
    check "T unchanged while another process held it" cmp -s T orig.bin
    wait "$holder"
fi

echo "in place: $passed passed, $failed failed"
[ "$failed" = 0 ]
