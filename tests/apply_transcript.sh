#!/usr/bin/env bash
# deltawright-apply as its users see it: tables of command lines with their
# exact standard error and exit status (standard output stays empty), then
# what each run left behind: the output written, or an existing one unchanged
# and no temporary file.
# Usage: apply_transcript.sh PATH_TO_DELTAWRIGHT_APPLY PATH_TO_DELTAWRIGHT
set -u
apply=$(realpath "$1")
maker=$(realpath "$2")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1

P=deltawright-apply
printf '0123456789' >old.bin
printf '012XY56789AB' >new.bin
"$maker" good.patch new.bin old.bin
mkdir adir
ln good.patch hardlink.patch
ln -s old.bin symlink.bin
ln -s loop2 loop1
ln -s loop1 loop2
LONG=$(printf 'n%.0s' $(seq 255))  # the longest name a folder takes
header() { printf 'DLT40\377'; head -c 54 /dev/zero; }
# patch NAME PRINTF_FORMAT: a patch of the header and the records given.
patch() { { header; printf "$2"; } >"$1"; }

passed=0 failed=0
pass() { passed=$((passed + 1)); }
fail() { failed=$((failed + 1)); printf 'FAIL: %s\n' "$1"; }
# t STATUS STDERR ARG...: runs the applier and checks status, stderr, empty stdout.
t() {
    local want_status=$1 want_err=$2
    shift 2
    "$apply" "$@" >out.txt 2>err.txt </dev/null
    local status=$?
    if [ "$status" = "$want_status" ] && [ "$(cat err.txt)" = "$want_err" ] && [ ! -s out.txt ]; then
        pass
    else
        fail "$P $*: status $status (want $want_status), stderr '$(cat err.txt)' (want '$want_err'), stdout '$(cat out.txt)'"
    fi
}
check() {
    local what=$1
    shift
    if "$@"; then pass; else fail "$what"; fi
}
no_temporary_files() { [ -z "$(find . -name '.*.tmp*')" ]; }

# Malformed patches, one row per rule: the message names the record's byte
# position and the rule. An existing output keeps its content, a new one is
# never created.
V='invalid patch'
while IFS='|' read -r name records want; do
    patch bad.patch "$records"
    [ "$name" = "header too short" ] && header | head -c 59 >bad.patch
    [ "$name" = "header byte differs" ] && { header | sed 's/DLT40/DLT41/'; } >bad.patch
    printf 'keep me' >kept.bin
    t 1 "$P: bad.patch: $V: $want" kept.bin bad.patch old.bin
    t 1 "$P: bad.patch: $V: $want" absent.bin bad.patch old.bin
    check "$name: the existing output is unchanged" [ "$(cat kept.bin)" = "keep me" ]
    check "$name: no output is created" [ ! -e absent.bin ]
done <<'ROWS'
header too short||header at byte 0: not the 60-byte DLT40 header
header byte differs||header at byte 0: not the 60-byte DLT40 header
record head cut short|\0\3\0|record at byte 60: record cut short by the end of the patch
record data cut short|\0\3\0\0\0\5XY|record at byte 60: record cut short by the end of the patch
add data cut short|\1\0\0\0\0\3A|record at byte 60: record cut short by the end of the patch
unknown command|\0\1\0\0\0\1X\2\0\0\0\0\1X|record at byte 67: unknown command (neither replace 0 nor add 1)
length 0|\0\0\0\0\0\0|record at byte 60: record of length 0
add with an offset|\1\1\0\0\0\1A|record at byte 60: add record with an offset other than 0
replace after add|\1\0\0\0\0\1A\0\1\0\0\0\1X|record at byte 67: replace record after an add record
replace overlapping|\0\0\0\0\0\3XYZ\0\2\0\0\0\1X|record at byte 69: replace record below the end of the previous one (out of order or overlapping)
replace out of order|\0\5\0\0\0\1X\0\3\0\0\0\1X|record at byte 67: replace record below the end of the previous one (out of order or overlapping)
replace past the end|\0\10\0\0\0\3XYZ|record at byte 60: replace record reaches past the end of the original
replace at 0xFFFFFF00|\0\0\377\377\377\1X|record at byte 60: replace record reaches past the end of the original
ROWS

# Valid patches at the edges of the rules: exact output.
while IFS='|' read -r name records want; do
    patch edge.patch "$records"
    t 0 "" edge.out edge.patch old.bin
    check "$name: output" [ "$(cat edge.out)" = "$want" ]
done <<'ROWS'
header only gives the original||0123456789
adjacent replace records|\0\0\0\0\0\3abc\0\3\0\0\0\2de|abcde56789
replace up to the last byte|\0\11\0\0\0\1Z|012345678Z
adds of one byte each|\1\0\0\0\0\1A\1\0\0\0\0\1B|0123456789AB
ROWS

# The origin check: a replaced byte that already holds the patched value
# shows the patch applied already or made from another original. Each
# original with and without --force; a refusal leaves no output.
printf '012X456789' >one_patched.bin
printf 'abcdYfghij' >other_y.bin
printf 'abcdefghij' >other.bin
AP="is already applied to"
MO="was made from another original than"
FA="; --force applies it anyway"
while IFS='|' read -r name original want_status want_err forced; do
    rm -f origin.out
    t "$want_status" "$want_err" origin.out good.patch "$original"
    [ "$want_status" = 0 ] || check "$name: no output is left" [ ! -e origin.out ]
    t 0 "" --force origin.out good.patch "$original"
    check "$name: --force applies" [ "$(cat origin.out)" = "$forced" ]
done <<ROWS
the right original|old.bin|0||012XY56789AB
the updated file itself|new.bin|1|$P: good.patch $AP new.bin: every replaced byte already holds the patched value (the first at byte 3)$FA|012XY56789ABAB
one replaced byte already patched|one_patched.bin|1|$P: good.patch $MO one_patched.bin: byte 3 already holds the patched value$FA|012XY56789AB
another file, one byte in common|other_y.bin|1|$P: good.patch $MO other_y.bin: byte 4 already holds the patched value$FA|abcXYfghijAB
another file, nothing in common (the check cannot tell)|other.bin|0||abcXYfghijAB
ROWS
patch same.patch '\0\2\0\0\0\2\062\063'
t 1 "$P: same.patch $AP old.bin: every replaced byte already holds the patched value (the first at byte 2)$FA" \
    same.out same.patch old.bin

# --check: status 0 exactly when the result is UPDATED, else the first
# position where they part; nothing is written.
printf 'X12XY56789AB' >first_differs.bin
printf '012XY5_789AB' >middle_differs.bin
printf '012XY56789AC' >last_differs.bin
printf '012XY56789A' >short_updated.bin
printf '012XY56789ABC' >long_updated.bin
printf '012XY' >shorter.bin
"$maker" shorter.patch shorter.bin old.bin
# status  standard error                                                                  arguments
t 0 ""                                                                                   --check new.bin good.patch old.bin
t 1 "$P: good.patch applied to old.bin differs from first_differs.bin at byte 0"         --check first_differs.bin good.patch old.bin
t 1 "$P: good.patch applied to old.bin differs from middle_differs.bin at byte 6"        --check middle_differs.bin good.patch old.bin
t 1 "$P: good.patch applied to old.bin differs from last_differs.bin at byte 11"         --check last_differs.bin good.patch old.bin
t 1 "$P: good.patch applied to old.bin goes on past the end of short_updated.bin at byte 11" --check short_updated.bin good.patch old.bin
t 1 "$P: good.patch applied to old.bin ends at byte 12, before the end of long_updated.bin" --check long_updated.bin good.patch old.bin
t 1 "$P: shorter.bin is shorter than old.bin and cannot be rebuilt from the patch alone: the result goes on with the original's last bytes after byte 5; --check --seal MANIFEST records its length" \
    --check shorter.bin shorter.patch old.bin
t 1 "$P: bad.patch: $V: record at byte 60: replace record reaches past the end of the original" \
    --check new.bin bad.patch old.bin
t 2 "$P: usage: $P --check UPDATED PATCH ORIGINAL"                                       --check new.bin good.patch
t 2 "$P: cannot open updated file missing.bin: No such file or directory"                --check missing.bin good.patch old.bin
# Endless inputs end once the answer is known.
t 1 "$P: good.patch applied to /dev/zero differs from new.bin at byte 0"                 --check new.bin good.patch /dev/zero

# Sealed manifests: --check --seal writes the sizes and digests as
# sha256sum prints them; --manifest applies only what matches, rebuilds a
# shorter updated file exactly, and leaves OUTPUT untouched otherwise.
t 0 "" --check --seal good.manifest new.bin good.patch old.bin
check "the manifest holds the sizes and sha256sum's digests" [ "$(cat good.manifest)" = "deltawright-manifest 1
format DLT40
original-size 10
original-sha256 $(sha256sum <old.bin | cut -c1-64)
updated-size 12
updated-sha256 $(sha256sum <new.bin | cut -c1-64)
patch-size 76
patch-sha256 $(sha256sum <good.patch | cut -c1-64)" ]
t 0 "" --manifest good.manifest sealed.out good.patch old.bin
check "a sealed apply rebuilds the updated file" cmp -s sealed.out new.bin
t 0 "" --check --seal shorter.manifest shorter.bin shorter.patch old.bin
t 0 "" --manifest shorter.manifest shorter.out shorter.patch old.bin
check "a shorter updated file is rebuilt exactly" cmp -s shorter.out shorter.bin
t 1 "$P: bad.patch: $V: record at byte 60: replace record reaches past the end of the original" \
    --check --seal bad.manifest new.bin bad.patch old.bin
check "a failed check writes no manifest" [ ! -e bad.manifest ]
t 2 "$P: cannot write old.bin: it is the original file" --check --seal old.bin new.bin good.patch old.bin
# The manifest's name is refused before anything is read (/proc/self/mem
# fails when read), and an endless original once past the manifest's size.
t 2 "$P: cannot create nodir/m.manifest: No such file or directory" --check --seal nodir/m.manifest /proc/self/mem good.patch old.bin
t 1 "$P: original /dev/zero does not match good.manifest: longer than the 10 bytes the manifest says" \
    --manifest good.manifest endless.out good.patch /dev/zero
check "an endless original leaves no output" [ ! -e endless.out ]
# Each field wrong in turn: status 1, OUTPUT keeps its content.
OLD_SHA=$(sha256sum <old.bin | cut -c1-64) NEW_SHA=$(sha256sum <new.bin | cut -c1-64)
PATCH_SHA=$(sha256sum <good.patch | cut -c1-64) ZERO_SHA=$(printf '0%.0s' $(seq 64))
while IFS='|' read -r name from to want; do
    sed "s/^$from\$/$to/" good.manifest >wrong.manifest
    printf 'keep me' >kept.bin
    t 1 "$P: $want" --manifest wrong.manifest kept.bin good.patch old.bin
    check "$name: the output keeps its content" [ "$(cat kept.bin)" = "keep me" ]
done <<ROWS
original size|original-size 10|original-size 11|original old.bin does not match wrong.manifest: 10 bytes, the manifest says 11
original digest|original-sha256 $OLD_SHA|original-sha256 $ZERO_SHA|original old.bin does not match wrong.manifest: SHA-256 $OLD_SHA, the manifest says $ZERO_SHA
patch digest|patch-sha256 $PATCH_SHA|patch-sha256 $ZERO_SHA|patch good.patch does not match wrong.manifest: SHA-256 $PATCH_SHA, the manifest says $ZERO_SHA
result digest|updated-sha256 $NEW_SHA|updated-sha256 $ZERO_SHA|the result of good.patch does not match wrong.manifest: SHA-256 $NEW_SHA, the manifest says $ZERO_SHA
result longer than the patch gives|updated-size 12|updated-size 13|the result of good.patch does not match wrong.manifest: 12 bytes, the manifest says 13
ROWS
# Malformed manifests: status 2 with the manifest's name and line.
while IFS='|' read -r name edit want; do
    sed "$edit" good.manifest >bad.manifest
    t 2 "$P: bad.manifest:$want" --manifest bad.manifest kept.bin good.patch old.bin
done <<'ROWS'
unknown version|1s/ 1$/ 2/|1: unknown manifest version (this program reads version 1)
not a manifest|1s/.*/hello/|1: not a deltawright manifest
unknown field|3s/original-size/origin-size/|3: unknown field 'origin-size'
a field twice|5s/updated-size 12/original-size 12/|5: field original-size given twice
a field missing|8d| field patch-sha256 missing
a malformed size|3s/10$/010/|3: malformed size in original-size (a decimal number)
a negative size|3s/10$/-1/|3: malformed size in original-size (a decimal number)
a malformed digest|4s/ ./ A/|4: malformed digest in original-sha256 (64 lowercase hex digits)
a short digest|4s/.$//|4: malformed digest in original-sha256 (64 lowercase hex digits)
another patch format|2s/DLT40/DLT41/|2: unknown patch format (this program reads DLT40)
ROWS
head -c -1 good.manifest >bad.manifest
t 2 "$P: bad.manifest:8: the last line does not end with a line feed" --manifest bad.manifest kept.bin good.patch old.bin
t 2 "$P: --seal needs --check: a manifest is sealed after a passing check" --seal m.out out.bin good.patch old.bin
t 2 "$P: --manifest applies a patch; --check seals one with --seal" --check --manifest good.manifest new.bin good.patch old.bin
t 2 "$P: option --manifest needs a manifest file name" out.bin good.patch old.bin --manifest
t 2 "$P: --check and --list exclude each other: one mode at a time" --check --list good.patch
t 2 "$P: --force goes with applying a patch: --check applies nothing to keep or refuse" --check --force new.bin good.patch old.bin
t 2 "$P: --json goes with --list" --json out.bin good.patch old.bin
t 2 "$P: usage: $P --list [--json] PATCH" --list good.patch old.bin
check "the existing output is unchanged after every refused manifest" [ "$(cat kept.bin)" = "keep me" ]

# Command lines, files and devices.
printf 'keep me' >kept.bin
USAGE="$P: usage: $P OUTPUT PATCH ORIGINAL"
# status  standard error                                                       arguments
t 2 "$USAGE"
t 2 "$USAGE"                                                                  out.bin
t 2 "$USAGE"                                                                  out.bin good.patch
t 2 "$USAGE"                                                                  out.bin good.patch old.bin extra
t 2 "$P: cannot open patch file missing.patch: No such file or directory"      kept.bin missing.patch old.bin
t 2 "$P: cannot open original file missing.bin: No such file or directory"     kept.bin good.patch missing.bin
t 2 "$P: cannot open patch file adir: Is a directory"                          kept.bin adir old.bin
t 2 "$P: cannot open patch file a\\x1b]0;t\\x07b: No such file or directory"     kept.bin "$(printf 'a\033]0;t\ab')" old.bin
t 2 "$P: cannot open original file adir: Is a directory"                       kept.bin good.patch adir
t 2 "$P: cannot write good.patch: it is the patch file"                        good.patch good.patch old.bin
t 2 "$P: cannot write ./old.bin: it is the original file"                      ./old.bin good.patch old.bin
t 2 "$P: cannot write hardlink.patch: it is the patch file"                    hardlink.patch good.patch old.bin
t 2 "$P: cannot write symlink.bin: it is the original file"                    symlink.bin good.patch old.bin
t 2 "$P: cannot create nodir/out.bin: No such file or directory"               nodir/out.bin good.patch old.bin
t 2 "$P: cannot create adir: Is a directory"                                   adir good.patch old.bin
t 2 "$P: error writing /dev/full: No space left on device"                     /dev/full good.patch old.bin
t 2 "$P: cannot create : No such file or directory"                            "" good.patch old.bin
t 2 "$P: cannot create loop1: Too many levels of symbolic links"               loop1 good.patch old.bin
t 0 ""                                                                        "$LONG" good.patch old.bin
t 2 "$P: error reading patch file /proc/self/mem: Input/output error"          kept.bin /proc/self/mem old.bin
t 2 "$P: error reading original file /proc/self/mem: Input/output error"       kept.bin good.patch /proc/self/mem
t 0 ""                                                                        out.bin good.patch old.bin
t 0 ""                                                                        /dev/null good.patch old.bin
check "the inputs are untouched" [ "$(cat old.bin) $(wc -c <good.patch)" = "0123456789 76" ]
check "the existing output is unchanged after every failure" [ "$(cat kept.bin)" = "keep me" ]
check "the applied patch rebuilds the updated file" cmp -s out.bin new.bin
check "a 255-byte output name gets its result" cmp -s "$LONG" new.bin
check "a refused name creates nothing" eval '[ -L loop1 ] && [ -L loop2 ]'

# A descriptor named as OUTPUT is written where it stands: appended to, a
# group's other lines kept; a closed one is not written through its name.
printf 'before\n' >appended.out
"$apply" /dev/stdout good.patch old.bin >>appended.out
check ">> /dev/stdout appends the result" cmp -s appended.out <(printf 'before\n'; cat new.bin)
{ echo first; "$apply" /proc/self/fd/1 good.patch old.bin; echo last; } >grouped.out
check "a group around /proc/self/fd/1 keeps its lines" cmp -s grouped.out <(echo first; cat new.bin; echo last)
"$apply" /dev/stdout good.patch old.bin >&- 2>closed.err
check "a closed standard output: status 2, the system's reason" [ $? = 2 ] &&
    [ "$(cat closed.err)" = "$P: cannot create /dev/stdout: Bad file descriptor" ]
# Inputs compared as the files opened: standard output appending to the
# original, standard input reading the file named as OUTPUT.
cp old.bin self.bin
"$apply" - good.patch self.bin >>self.bin 2>self.err
status=$?
check "- as OUTPUT appending to the original is refused ($status)" \
    eval '[ $status = 2 ] && [ "$(cat self.err)" = "$P: cannot write -: it is the original file" ] && cmp -s self.bin old.bin'
"$apply" self.bin good.patch - <self.bin 2>self.err
status=$?
check "the original on standard input is not OUTPUT ($status)" \
    eval '[ $status = 2 ] && [ "$(cat self.err)" = "$P: cannot write self.bin: it is the original file" ] && cmp -s self.bin old.bin'
cp good.patch self.patch
"$apply" self.patch - old.bin <self.patch 2>self.err
status=$?
check "the patch on standard input is not OUTPUT ($status)" \
    eval '[ $status = 2 ] && [ "$(cat self.err)" = "$P: cannot write self.patch: it is the patch file" ] && cmp -s self.patch good.patch'

# Replacing a file breaks its other hard links: they keep the old content.
printf 'old content' >linked.bin
ln linked.bin other-link.bin
t 0 "" linked.bin good.patch old.bin
check "a hard link of the replaced output keeps the old content" \
    eval '[ "$(cat other-link.bin)" = "old content" ] && cmp -s linked.bin new.bin'
# A new output gets what creating it would give: 0666 less the umask.
(umask 027 && "$apply" umask.bin good.patch old.bin)
check "a new output's mode is 0666 less the umask" [ "$(stat -c %a umask.bin)" = 640 ]

# Pipes for all three files: a FIFO, standard input, standard output.
mkfifo in.fifo out.fifo
cat good.patch >in.fifo &
"$apply" /dev/stdout in.fifo /dev/stdin <old.bin >piped.bin 2>err.txt
status=$?
check "patch from a FIFO, original from standard input, output to standard output" \
    eval '[ $status = 0 ] && [ ! -s err.txt ] && cmp -s piped.bin new.bin'
cat out.fifo >fifo.bin &
reader=$!
t 0 "" out.fifo good.patch old.bin
wait "$reader"
check "output to a FIFO" cmp -s fifo.bin new.bin

# An existing output keeps its permission bits; a symbolic link as output is
# followed: the file it points to gets the result, and the link stays a link,
# dangling or not.
printf 'old content' >mode.bin
chmod 640 mode.bin
t 0 "" mode.bin good.patch old.bin
check "the output keeps its permission bits" [ "$(stat -c %a mode.bin)" = 640 ]
check "the output was replaced" cmp -s mode.bin new.bin
printf 'old content' >target.bin
ln -s target.bin link.bin
ln -s made.bin dangling.bin
t 0 "" link.bin good.patch old.bin
t 0 "" dangling.bin good.patch old.bin
check "a link as output writes its target" eval '[ -L link.bin ] && cmp -s target.bin new.bin'
check "a dangling link as output creates its target" eval '[ -L dangling.bin ] && cmp -s made.bin new.bin'

# The usual conventions: --help and --version on standard output, an
# unknown option, --, and - for standard input and output.
"$apply" --help >help.txt 2>err.txt
status=$?
check "--help: status 0, the usage on standard output" eval '[ $status = 0 ] && [ ! -s err.txt ] &&
    [ "$(head -n 1 help.txt)" = "usage: $P [--force] [--manifest MANIFEST [SIGNED]] OUTPUT PATCH ORIGINAL" ] &&
    grep -qF -- "--check [--seal MANIFEST] UPDATED PATCH ORIGINAL" help.txt'
"$apply" --version >version.txt 2>err.txt
status=$?
check "--version: status 0, name and version" eval '[ $status = 0 ] && [ ! -s err.txt ] &&
    [ "$(cat version.txt)" = "$P 1.0.0" ]'
t 2 "$P: unknown option --frobnicate ($P --help lists the options)"           --frobnicate out.bin good.patch old.bin
t 2 "$P: unknown option -f ($P --help lists the options)"                      -f out.bin good.patch old.bin
t 2 "$P: standard input (-) can be only one of the inputs"                     out.bin - -
cp good.patch ./-dash.patch
t 0 ""                                                                        -- dash.out -dash.patch old.bin
check "-- ends the options" cmp -s dash.out new.bin
t 0 ""                                                                        options.out good.patch old.bin --force
"$apply" - - old.bin <good.patch >stdio.out 2>err.txt
status=$?
check "- as PATCH reads standard input, - as OUTPUT writes standard output" \
    eval '[ $status = 0 ] && [ ! -s err.txt ] && cmp -s stdio.out new.bin'
"$apply" --check - good.patch old.bin <new.bin >check.out 2>err.txt
status=$?
check "--check with UPDATED on standard input" eval '[ $status = 0 ] && [ ! -s err.txt ] && [ ! -s check.out ]'

# A program whose job is to print fails when what it printed reached nobody:
# standard output full, or closed.
for args in --help --version "--list good.patch" "--list --json good.patch"; do
    # shellcheck disable=SC2086 # the arguments are words
    "$apply" $args >/dev/full 2>err.txt
    status=$?
    check "$args to a full disk: status 2 and why" \
        eval '[ $status = 2 ] && [ "$(cat err.txt)" = "$P: error writing standard output: No space left on device" ]'
    # shellcheck disable=SC2086
    "$apply" $args >&- 2>err.txt
    status=$?
    check "$args to a closed standard output: status 2 and why" \
        eval '[ $status = 2 ] && [ "$(cat err.txt)" = "$P: error writing standard output: Bad file descriptor" ]'
done

check "no temporary file is left" no_temporary_files
echo "apply transcript: $passed passed, $failed failed"
[ "$failed" = 0 ]
