#!/usr/bin/env bash
# Both programs as Windows builds, run under an emulator (wine): what makes
# sense on that system, with exact output, line ends as the Windows console
# writes them (CR LF), and exit status; then file names outside any one code
# page, and the NUL device.
# Usage: windows_transcript.sh DELTAWRIGHT_EXE DELTAWRIGHT_APPLY_EXE HOLD_OPEN_EXE EMULATOR [ARG...]
set -u
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# Copies of the programs (and DLLs) in a folder of the test's own, which the rows run
# as another user can reach wherever the build lies (a clone in a folder
# only its owner may enter included).
mkdir "$work/bin"
cp "$1" "$2" "$3" "$work/bin/"
cp "$(dirname "$2")"/*.dll "$work/bin/"  # the DLLs the applier loads (libgcrypt's)
maker=$work/bin/$(basename "$1")
apply=$work/bin/$(basename "$2")
hold_open=$work/bin/$(basename "$3")
shift 3
emulator=("$@")
# shellcheck source=emulator.sh
. "$(dirname "$0")/emulator.sh"
# One run first, unchecked: an emulator's first start may set itself up (wine
# makes its prefix) and say so on standard error.
"${emulator[@]}" "$maker" >/dev/null 2>&1 </dev/null
cd "$work" || exit 1

CR=$'\r'
USAGE="Usage:$CR
  deltawright <patch file name> <updated file name> <original file name>$CR
$CR
Original will be compared to Update, and differences will be captured in the$CR
Patch file.$CR
"
WRONG='To few arguments provided.  Specify a patch file to create and the updated and original files for comparison.'
A=deltawright-apply
printf '0123456789' >old.bin
printf '012XY56789AB' >new.bin
printf 'keep me' >kept.patch
mkdir adir
cp new.bin 'naïve.bin'
cp old.bin 'файл.bin'
LONG=$(printf 'n%.0s' $(seq 255))  # the longest name a folder takes

passed=0 failed=0
runner=()  # what the emulator runs under: the caller, or another user
# t PROGRAM STATUS STDOUT STDERR ARG...: runs PROGRAM under the emulator.
t() {
    local program=$1 want_status=$2 want_out=$3 want_err=$4
    shift 4
    emulate out.txt err.txt "${runner[@]}" "${emulator[@]}" "$program" "$@"
    local status=$?
    if [ "$status" = "$want_status" ] && [ "$(cat out.txt; printf x)" = "${want_out}x" ] &&
        [ "$(cat err.txt; printf x)" = "${want_err}x" ]; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
        printf 'FAIL: %s %s\n  status %s (want %s)\n  stdout %q\n  want   %q\n  stderr %q\n  want   %q\n' \
            "${program##*/}" "$*" "$status" "$want_status" "$(cat out.txt)" "$want_out" \
            "$(cat err.txt)" "$want_err"
    fi
}
check() {
    local what=$1
    shift
    if "$@"; then passed=$((passed + 1)); else failed=$((failed + 1)); echo "FAIL: $what"; fi
}

# program  status  standard output                                   standard error  arguments
t "$maker" 0 "$USAGE"                                                  ""
t "$maker" 1 "$WRONG$USAGE"                                            ""  none.patch
t "$maker" 1 "$WRONG$USAGE"                                            ""  none.patch new.bin old.bin extra
t "$maker" 1 "Error opening updated file missing.bin"                 ""  kept.patch missing.bin old.bin
t "$maker" 1 "Error opening original file missing.bin"                ""  kept.patch new.bin missing.bin
t "$maker" 1 "Error opening updated file adir"                        ""  kept.patch adir old.bin
t "$maker" 1 "Error opening patch file nodir\\p.patch"                ""  'nodir\p.patch' new.bin old.bin
t "$maker" 1 "Error opening patch file new.bin: it is the updated file" "" new.bin new.bin old.bin
t "$maker" 1 "Error opening patch file .\\old.bin: it is the original file" "" '.\old.bin' new.bin old.bin
t "$maker" 1 "Error opening patch file naïve.bin: it is not a patch file" "" 'naïve.bin' new.bin old.bin
t "$maker" 0 ""                                                        ""  NUL new.bin old.bin
t "$maker" 0 ""                                                        ""  'ünï.patch' 'naïve.bin' 'файл.bin'
t "$apply" 2 "" "$A: usage: $A OUTPUT PATCH ORIGINAL$CR
"
t "$apply" 2 "" "$A: cannot open patch file missing.patch: No such file or directory$CR
"  out.bin missing.patch old.bin
t "$apply" 2 "" "$A: cannot write ünï.patch: it is the patch file$CR
"  'ünï.patch' 'ünï.patch' old.bin
t "$apply" 1 "" "$A: new.bin: invalid patch: header at byte 0: not the 60-byte DLT40 header$CR
"  out.bin new.bin old.bin
t "$apply" 0 ""                                                        ""  'вывод.bin' 'ünï.patch' 'файл.bin'
t "$apply" 0 ""                                                        ""  NUL 'ünï.patch' 'файл.bin'
t "$apply" 0 ""                                                        ""  "$LONG" 'ünï.patch' 'файл.bin'
t "$apply" 2 "" "$A: cannot create : No such file or directory$CR
"  "" 'ünï.patch' 'файл.bin'
t "$maker" 0 ""                                                        ""  'ünï.patch' 'naïve.bin' 'файл.bin'
# The applier's modes on Windows: --check, a sealed manifest (text with LF
# line ends, as on every system), the origin check, and - for the standard
# handles.
t "$apply" 0 ""                                                        ""  --check new.bin 'ünï.patch' 'файл.bin'
t "$apply" 0 ""                                                        ""  --check --seal 'манифест.txt' new.bin 'ünï.patch' 'файл.bin'
t "$apply" 0 ""                                                        ""  --manifest 'манифест.txt' sealed.bin 'ünï.patch' 'файл.bin'
check "a sealed apply rebuilds the updated file" cmp -s sealed.bin new.bin
# Progress, asked for where standard error is not a console (_isatty): its
# final line, ended as the console ends lines.
emulate out.txt err.txt "${emulator[@]}" "$apply" --progress --check new.bin 'ünï.patch' 'файл.bin'
check "--progress: the final line, ended with CR LF" grep -Eqx \
    "$A: checking: [0-9]+ bytes of [0-9]+ bytes \(100%\), .*done in [0-9.]+ s$CR" err.txt
check "the manifest's lines end in LF alone" [ "$(grep -c $'\r' 'манифест.txt')" = 0 ]
t "$apply" 1 "" "$A: ünï.patch is already applied to new.bin: every replaced byte already holds the patched value (the first at byte 3); --force applies it anyway$CR
"  refused.bin 'ünï.patch' new.bin
check "a refused original leaves no output" [ ! -e refused.bin ]
standard_handles() {
    "${runner[@]}" "${emulator[@]}" "$apply" - - 'файл.bin' <'ünï.patch' >stdio.out 2>stdio.err
}
standard_handles
status=$?
if grep -Eq "$EMULATOR_TROUBLE" stdio.err; then
    echo "RETRY (once, emulator trouble): standard handles"
    standard_handles
    status=$?
fi
check "- reads the standard input and writes the standard output, unchanged bytes" \
    eval '[ "$status" = 0 ] && [ ! -s stdio.err ] && cmp -s stdio.out new.bin'
# In place: a replace-only patch, then a re-run; a patch with add records
# through the sealed manifest; the refusals that depend on the system.
printf '0X2345678Y' >same-size.bin
"${emulator[@]}" "$maker" 'тот же.patch' same-size.bin old.bin >/dev/null 2>&1 </dev/null
cp old.bin 'цель.bin'
t "$apply" 0 ""                                                        ""  --in-place 'цель.bin' 'тот же.patch'
check "in place: the target is the updated file" cmp -s 'цель.bin' same-size.bin
t "$apply" 0 "" "$A: цель.bin is already up to date with тот же.patch: nothing written$CR
"  --in-place 'цель.bin' 'тот же.patch'
cp 'файл.bin' grown.bin
t "$apply" 2 "" "$A: ünï.patch has add records: an update of grown.bin in place that is cut short could not be resumed without knowing where the original ended; seal a manifest with deltawright-apply --check --seal MANIFEST UPDATED PATCH ORIGINAL and give it with --manifest$CR
"  --in-place grown.bin 'ünï.patch'
t "$apply" 0 ""                                                        ""  --in-place --manifest 'манифест.txt' grown.bin 'ünï.patch'
check "in place with a manifest: the target grew into the updated file" cmp -s grown.bin new.bin
t "$apply" 2 "" "$A: cannot apply a patch in place from standard input: it is read twice, so it must be a regular file$CR
"  --in-place grown.bin -
t "$apply" 2 "" "$A: cannot open target NUL: not a regular file$CR
"  --in-place NUL 'тот же.patch'
check "an input that cannot be opened leaves the patch file untouched" [ "$(cat kept.patch)" = "keep me" ]
check "a non-ASCII round trip rebuilds the updated file" cmp -s 'вывод.bin' new.bin
check "no output file after a refusal" [ ! -e out.bin ]
check "a 255-character output name gets its result" cmp -s "$LONG" new.bin

check "no temporary file is left" [ -z "$(find . -name '.*.tmp*')" ]

# A file another program holds open, sharing it with nobody, is refused with
# the system's reason and left as it is.
printf 'in use' >busy.bin
mkfifo hold.ctl
"${emulator[@]}" "$hold_open" busy.bin <hold.ctl >hold.out 2>&1 &
holder=$!
exec 4>hold.ctl
for _ in $(seq 500); do grep -q held hold.out && break; sleep 0.02; done
# The system's text for ERROR_SHARING_VIOLATION: wine's (Windows itself says
# "The process cannot access the file because it is being used by another
# process").
IN_USE="Sharing violation"
t "$apply" 2 "" "$A: cannot create busy.bin: $IN_USE$CR
"  busy.bin 'ünï.patch' 'файл.bin'
t "$maker" 1 "Error opening patch file busy.bin"                      ""  busy.bin new.bin old.bin
t "$apply" 2 "" "$A: cannot open target busy.bin: another process is using it$CR
"  --in-place busy.bin 'тот же.patch'
exec 4>&-
wait "$holder"
check "a file in use is never replaced" [ "$(cat busy.bin)" = "in use" ]

# A read-only file (to wine: no write bits) is refused, never replaced.
# Root may write any file, under wine too, so these rows run as an
# unprivileged user, with a prefix and a persistent wineserver of its own.
if [ "$(id -u)" = 0 ] && [ -n "${WINESERVER:-}" ]; then
    user_home=$(mktemp -d)
    chmod 755 "$work"
    mkdir ro && cp new.bin old.bin ro/ && printf 'read only' >ro/ro.bin && chmod 444 ro/ro.bin
    chown -R nobody "$user_home" ro
    as_user() {
        setpriv --reuid=65534 --regid=65534 --clear-groups env HOME="$user_home" WINEPREFIX="$user_home/prefix" "$@"
    }
    as_user "$WINESERVER" -p </dev/null >/dev/null 2>&1
    (cd ro && as_user "${emulator[@]}" "$maker" >/dev/null 2>&1 </dev/null)  # makes the prefix
    cd ro || exit 1
    runner=(as_user)
    t "$apply" 2 "" "$A: cannot create ro.bin: Permission denied$CR
"  ro.bin ../'ünï.patch' old.bin
    t "$maker" 1 "Error opening patch file ro.bin"                    ""  ro.bin new.bin old.bin
    cd .. || exit 1
    runner=()
    as_user "$WINESERVER" -k
    check "a read-only file is never replaced" [ "$(cat ro/ro.bin)" = "read only" ]
    rm -rf "$user_home"
else
    echo "read-only rows not run: they need root (to run as another user) and WINESERVER"
fi

echo "windows transcript: $passed passed, $failed failed"
[ "$failed" = 0 ]
