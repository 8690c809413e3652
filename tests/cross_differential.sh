#!/usr/bin/env bash
# The cross-built programs against the native ones: on generated pairs, the
# cross-built deltawright (run under the target's emulator) must write exactly
# the native patch, and the cross-built deltawright-apply exactly the native
# output, with the same exit status and messages.
# Usage: cross_differential.sh PAIRS NATIVE_DIR CROSS_MAKER CROSS_APPLY EMULATOR [ARG...]
set -u
pairs=$1
native_dir=$(realpath "$2")
cross_maker=$(realpath "$3")
cross_apply=$(realpath "$4")
shift 4
emulator=("$@")
# shellcheck source=emulator.sh
. "$(dirname "$0")/emulator.sh"
# shellcheck source=init.sh
. "$(dirname "$0")/init.sh"
for f in deltawright deltawright-apply; do
    [ -x "$native_dir/$f" ] || { echo "FAIL: no native $native_dir/$f: build the release preset first"; exit 1; }
done
# One run first, unchecked: an emulator's first start may set itself up (wine
# makes its prefix) and say so on standard error.
"${emulator[@]}" "$cross_maker" >/dev/null 2>&1 </dev/null
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1

# Pairs biased toward the hard places: sizes near 255 and its multiples and
# near the 256 KiB block, empty files, runs of every length, shorter and
# longer updated files. Deterministic: pair N is the same on every host.
perl -e '
    my $pairs = shift;
    my @sizes = (0, 1, 254, 255, 256, 510, 511, 4096, 262143, 262144, 262145, 300000);
    for my $n (0 .. $pairs - 1) {
        srand(1000 + $n);
        my $osize = $sizes[rand @sizes] + int(rand 3);
        my $usize = rand() < 0.4 ? $osize : $sizes[rand @sizes] + int(rand 3);
        my $o = join "", map { chr(int rand 4) } 1 .. $osize;
        my $u = substr($o, 0, $usize);
        $u .= join "", map { chr(int rand 256) } 1 .. ($usize - length $u);
        my $density = rand();
        for my $run (0 .. int(rand 40)) {
            my $at = int rand($usize + 1);
            my $len = int rand(rand() < 0.2 ? 700 : 20);
            for my $i ($at .. $at + $len - 1) {
                last if $i >= $usize;
                substr($u, $i, 1) = chr(ord(substr($u, $i, 1)) ^ (1 + int rand 255)) if rand() < $density + 0.3;
            }
        }
        open my $fo, ">:raw", "o$n.bin" or die; print $fo $o; close $fo;
        open my $fu, ">:raw", "u$n.bin" or die; print $fu $u; close $fu;
    }' "$pairs"

passed=0 failed=0
# run NAME COMMAND...: runs a program, keeping its output, messages and status.
run() {
    local name=$1
    shift
    emulate "$name.out" "$name.err" "$@"
    echo $? >"$name.status"
}
same() {
    cmp -s "$1.status" "$2.status" && cmp -s "$1.out" "$2.out" && cmp -s "$1.err" "$2.err"
}
for ((n = 0; n < pairs; n++)); do
    run native_make "$native_dir/deltawright" native.patch "u$n.bin" "o$n.bin"
    run cross_make "${emulator[@]}" "$cross_maker" cross.patch "u$n.bin" "o$n.bin"
    run native_apply "$native_dir/deltawright-apply" native.result native.patch "o$n.bin"
    run cross_apply "${emulator[@]}" "$cross_apply" cross.result native.patch "o$n.bin"
    if same native_make cross_make && cmp -s native.patch cross.patch &&
        same native_apply cross_apply && cmp -s native.result cross.result; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
        echo "FAIL: pair $n ($(wc -c <"u$n.bin") / $(wc -c <"o$n.bin") bytes) differs"
        cat cross_make.err cross_apply.err
    fi
done
# Signed manifests: a signature and keys made on this host by minisign,
# verified by the cross-built applier exactly as by the native one: accepted
# (both signature forms, to a new file and in place), and refused.
need_tool minisign minisign
minisign -G -W -p vendor.pub -s vendor.key >/dev/null && minisign -G -W -p other.pub -s other.key >/dev/null
"$native_dir/deltawright" signed.patch u1.bin o1.bin
"$native_dir/deltawright-apply" --check --seal fw.manifest u1.bin signed.patch o1.bin
minisign -S -s vendor.key -m fw.manifest >/dev/null && minisign -S -l -s vendor.key -m fw.manifest -x legacy.sig >/dev/null
sed '3s/$/ (changed)/' fw.manifest.minisig >altered.sig
# Messages compared without CR: the Windows console ends lines with CR LF.
same_message() {
    cmp -s "$1.status" "$2.status" && cmp -s "$1.out" "$2.out" &&
        cmp -s <(tr -d '\r' <"$1.err") <(tr -d '\r' <"$2.err")
}
for signed in "--trust vendor.pub" "--trust other.pub --trust vendor.pub --signature legacy.sig" \
    "--trust other.pub" "--trust vendor.pub --signature altered.sig"; do
    # shellcheck disable=SC2086
    run native_apply "$native_dir/deltawright-apply" --manifest fw.manifest $signed native.result signed.patch o1.bin
    # shellcheck disable=SC2086
    run cross_apply "${emulator[@]}" "$cross_apply" --manifest fw.manifest $signed cross.result signed.patch o1.bin
    cp o1.bin native.target && cp o1.bin cross.target
    # shellcheck disable=SC2086
    run native_in_place "$native_dir/deltawright-apply" --in-place --manifest fw.manifest $signed native.target signed.patch
    # shellcheck disable=SC2086
    run cross_in_place "${emulator[@]}" "$cross_apply" --in-place --manifest fw.manifest $signed cross.target signed.patch
    if same_message native_apply cross_apply && { cmp -s native.result cross.result ||
        { [ ! -e native.result ] && [ ! -e cross.result ]; }; } &&
        same_message native_in_place cross_in_place && cmp -s native.target cross.target &&
        { [ "$(cat native_apply.status)" != 0 ] || cmp -s cross.result u1.bin; }; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
        echo "FAIL: signed manifest, $signed: status $(cat cross_apply.status) and $(cat cross_in_place.status)," \
            "native $(cat native_apply.status) and $(cat native_in_place.status)"
        cat cross_apply.err cross_in_place.err
    fi
    rm -f native.result cross.result
done

echo "cross differential: $passed passed, $failed failed"
[ "$failed" = 0 ] && [ "$passed" -gt 0 ]
