#!/usr/bin/env bash
# Signed manifests, with signatures and keys made by the real minisign in a
# temporary folder: a table of signatures and keys, each run as an apply to a
# new file and as an update in place. Accepted rows must give the updated
# file; refused ones leave OUTPUT and TARGET (bytes and modification time)
# as they were, and are refused before PATCH is opened (PATCH is then a FIFO
# without a writer, which would block the run).
# Usage: signed_manifest.sh PATH_TO_DELTAWRIGHT_APPLY PATH_TO_DELTAWRIGHT
set -u
apply=$(realpath "$1")
maker=$(realpath "$2")
# shellcheck source=init.sh
. "$(dirname "$0")/init.sh"
need_tool minisign minisign
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1
P=deltawright-apply

head -c 300000 /dev/urandom >old.bin
{ head -c 1000 old.bin; printf 'new'; tail -c +1004 old.bin; head -c 5000 /dev/urandom; } >new.bin
"$maker" fw.patch new.bin old.bin
"$apply" --check --seal fw.manifest new.bin fw.patch old.bin || exit 1
for k in old new other; do
    minisign -G -W -p "$k.pub" -s "$k.key" >/dev/null || exit 1
done
id() { sed -n '1s/.* //p' "$1.pub"; }  # the key id, as minisign's comment shows it
sign() {  # sign KEY OUT [OPTION...]
    local key=$1 out=$2
    shift 2
    minisign -S -s "$key.key" -m fw.manifest -x "$out" "$@" >/dev/null || exit 1
}
sign old fw.manifest.minisig
sign old legacy.minisig -l
sign new new.minisig -t 'release 2.0'
sign other other.minisig
sed '1s/.*/untrusted comment: changed on the way/' fw.manifest.minisig >untrusted.minisig
sed '3s/$/ (changed)/' new.minisig >trusted.minisig
sed 's/$/\r/' fw.manifest >crlf.manifest
cp fw.manifest.minisig crlf.manifest.minisig
# One digit of the patch's digest changed: still a well-formed manifest.
perl -pe 's/^(patch-sha256 .*)(.)$/$1 . ($2 eq "0" ? "1" : "0")/e' fw.manifest >byte.manifest
cp fw.manifest.minisig byte.manifest.minisig
# The signature's last byte flipped, the line re-encoded.
sig=$(sed -n 2p fw.manifest.minisig | base64 -d | perl -0777 -pe 'substr($_, -1, 1) ^= "\x01"' | base64 -w0)
sed "2s|.*|$sig|" fw.manifest.minisig >flipped.minisig
# A key id of 1 (stored little-endian): minisign prints it as "1".
sig=$(sed -n 2p other.minisig | base64 -d | perl -0777 -pe 'substr($_, 2, 8) = "\x01" . "\0" x 7' | base64 -w0)
sed "2s|.*|$sig|" other.minisig >id1.minisig
head -c 150 fw.manifest.minisig >truncated.minisig
head -c 400 /dev/urandom | tr -d '\n' >garbage.minisig  # one line: no line feed
tail -n 1 old.pub >old.base64  # the key line alone, as minisign -P takes it
sed 's/$/\r/' old.pub >crlf.pub
printf 'untrusted comment: not a key\nnonsense\n' >bad.pub
mkfifo writerless.patch

passed=0 failed=0
pass() { passed=$((passed + 1)); }
fail() { failed=$((failed + 1)); printf 'FAIL: %s\n' "$1"; }
mtime() { stat -c %Y.%y "$1"; }
# run MODE STATUS STDERR PATCH ARGS...: an apply to out.bin (kept.bin before)
# or an update of target.bin in place, checked for status, message and what
# it left.
run() {
    local mode=$1 want_status=$2 want_err=$3 patch=$4 status ok=1
    shift 4
    printf 'keep me' >out.bin
    cp old.bin target.bin
    touch -d '2001-02-03 04:05:06' target.bin out.bin
    local before
    before=$(mtime target.bin)
    if [ "$mode" = apply ]; then
        timeout 20 "$apply" "$@" out.bin "$patch" old.bin >stdout.txt 2>err.txt </dev/null
    else
        timeout 20 "$apply" --in-place "$@" target.bin "$patch" >stdout.txt 2>err.txt </dev/null
    fi
    status=$?
    [ "$status" = "$want_status" ] && [ "$(cat err.txt)" = "$want_err" ] && [ ! -s stdout.txt ] || ok=0
    if [ "$want_status" = 0 ]; then
        [ "$mode" = apply ] && { cmp -s out.bin new.bin || ok=0; }
        [ "$mode" = in-place ] && { cmp -s target.bin new.bin || ok=0; }
    else
        [ "$(cat out.bin)" = "keep me" ] && cmp -s target.bin old.bin &&
            [ "$(mtime target.bin)" = "$before" ] || ok=0
    fi
    if [ "$ok" = 1 ]; then pass; else
        fail "$mode $*: status $status (want $want_status), stderr '$(cat err.txt)' (want '$want_err')"
    fi
}

# NAME|OPTIONS|STATUS|MESSAGE (after "deltawright-apply: "). Refused rows get
# the writerless FIFO as PATCH.
while IFS='|' read -r name options status message; do
    [ -z "$name" ] && continue
    patch=fw.patch
    [ "$status" != 0 ] && patch=writerless.patch
    want=""
    [ -n "$message" ] && want="$P: $(eval "echo \"$message\"")"
    for mode in apply in-place; do
        # shellcheck disable=SC2086
        run "$mode" "$status" "$want" "$patch" $options
    done
done <<'ROWS'
prehashed, the default name|--manifest fw.manifest --trust old.pub|0|
legacy (minisign -l)|--manifest fw.manifest --trust old.pub --signature legacy.minisig|0|
two keys, signed by the second|--manifest fw.manifest --trust old.pub --trust new.pub --signature new.minisig|0|
unkey id with leading zeros|--manifest fw.manifest --trust old.pub --signature id1.minisig|1|id1.minisig: signed by key 1, which is not a trusted key (--trust)
trusted comment changed|--manifest fw.manifest --trust old.pub --signature untrusted.minisig|0|
key line alone|--manifest fw.manifest --trust old.base64|0|
key file with CR LF|--manifest fw.manifest --trust crlf.pub|0|
untrusted key|--manifest fw.manifest --trust old.pub --trust new.pub --signature other.minisig|1|other.minisig: signed by key $(id other), which is not a trusted key (--trust)
key id with leading zeros|--manifest fw.manifest --trust old.pub --signature id1.minisig|1|id1.minisig: signed by key 1, which is not a trusted key (--trust)
trusted comment changed|--manifest fw.manifest --trust new.pub --signature trusted.minisig|1|trusted.minisig: the trusted comment does not verify (key $(id new)): the signature file was altered
manifest byte changed|--manifest byte.manifest --trust old.pub|1|byte.manifest.minisig: the signature by key $(id old) does not verify: byte.manifest is not the file it signed
manifest with CR LF|--manifest crlf.manifest --trust old.pub|1|crlf.manifest.minisig: the signature by key $(id old) does not verify: crlf.manifest is not the file it signed
signature byte flipped|--manifest fw.manifest --trust old.pub --signature flipped.minisig|1|flipped.minisig: the signature by key $(id old) does not verify: fw.manifest is not the file it signed
signature truncated|--manifest fw.manifest --trust old.pub --signature truncated.minisig|1|truncated.minisig: not a minisign signature file: not the four lines of a signature file
signature garbage|--manifest fw.manifest --trust old.pub --signature garbage.minisig|1|garbage.minisig: not a minisign signature file: not the four lines of a signature file
signature of another kind|--manifest fw.manifest --trust old.pub --signature old.pub|1|old.pub: not a minisign signature file: not the four lines of a signature file
no signature file|--manifest fw.manifest --trust old.pub --signature absent.minisig|2|cannot open signature file absent.minisig: No such file or directory
malformed key file|--manifest fw.manifest --trust bad.pub|2|bad.pub: not a minisign public key: the key line is not the base64 of a 42-byte key
secret key as the key|--manifest fw.manifest --trust old.key|2|old.key: not a minisign public key: the key line is not the base64 of a 42-byte key
three lines|--manifest fw.manifest --trust fw.manifest.minisig|2|fw.manifest.minisig: not a minisign public key: not one key line, with or without its comment line before it
no key file|--manifest fw.manifest --trust absent.pub|2|cannot open public key file absent.pub: No such file or directory
--trust without --manifest|--trust old.pub|2|--trust needs --manifest MANIFEST: the keys verify the manifest's signature
--signature without --trust|--manifest fw.manifest --signature fw.manifest.minisig|2|--signature needs --trust KEY: a signature is verified with the keys trusted
ROWS

# The options with the other modes, and without their value.
t() {  # t STATUS MESSAGE ARGS...
    local want_status=$1 want_err="$P: $2" status
    shift 2
    "$apply" "$@" >stdout.txt 2>err.txt </dev/null
    status=$?
    if [ "$status" = "$want_status" ] && [ "$(cat err.txt)" = "$want_err" ]; then pass; else
        fail "$*: status $status (want $want_status), stderr '$(cat err.txt)' (want '$want_err')"
    fi
}
t 2 "--trust and --signature verify a manifest to apply: --check reads none" --check --trust old.pub new.bin fw.patch old.bin
t 2 "--trust and --signature verify a manifest to apply: --list reads none" --list --trust old.pub fw.patch
t 2 "option --trust needs a minisign public key file name" --manifest fw.manifest out.bin fw.patch old.bin --trust
t 2 "option --signature needs a minisign signature file name" --manifest fw.manifest --trust old.pub out.bin fw.patch old.bin --signature
t 2 "standard input (-) can be only one of the inputs" --manifest fw.manifest --trust - --signature - out.bin fw.patch old.bin
t 2 "standard input (-) can be only one of the inputs" --manifest fw.manifest --trust - out.bin - old.bin

echo "signed manifests: $passed passed, $failed failed"
[ "$failed" = 0 ] && [ "$passed" -gt 0 ]
