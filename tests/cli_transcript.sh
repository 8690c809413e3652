#!/usr/bin/env bash
# The command line as its users see it: a table of command lines, each with its
# exact standard output (no final line feed unless shown), an empty standard
# error, and its exit status (0 only for a complete patch or the usage text);
# then checks of the files the runs left behind.
# Usage: cli_transcript.sh PATH_TO_DELTAWRIGHT
set -u
tool=$(realpath "$1")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1

USAGE=$'Usage:\n  deltawright <patch file name> <updated file name> <original file name>\n\nOriginal will be compared to Update, and differences will be captured in the\nPatch file.\n'
WRONG='To few arguments provided.  Specify a patch file to create and the updated and original files for comparison.'

# Fixtures: a 10-byte original, a 12-byte updated differing at positions 3 and 4.
printf '0123456789' >old.bin
printf '012XY56789AB' >new.bin
header() { printf 'DLT40\377'; head -c 54 /dev/zero; }
# Old patches (the header, then a word), which the maker may replace; other
# files it refuses to replace.
{ header; printf 'keep me'; } >kept.patch
mkdir adir
ln new.bin hardlink.bin
ln -s old.bin symlink.bin
mkfifo fifo patch.fifo
{ header; printf 'old patch'; } >target.patch
ln -s target.patch link.patch
ln -s loop2 loop1
ln -s loop1 loop2
{ header; printf 'stale'; } >stale.patch
LONG=$(printf 'n%.0s' $(seq 255))  # the longest name a folder takes
{ header; printf 'linked'; } >linked.patch
printf 'old data, not a patch' >data.bin
: >empty.patch
{ header | head -c 59; } >short.patch  # a header cut short: not a patch
ln linked.patch other-link.patch

passed=0 failed=0
# t STATUS STDOUT ARG...: runs the tool with ARG... and checks all three results.
t() {
    local want_status=$1 want_out=$2
    shift 2
    "$tool" "$@" >out.txt 2>err.txt </dev/null
    local status=$?
    if [ "$status" = "$want_status" ] && [ "$(cat out.txt; printf x)" = "${want_out}x" ] && [ ! -s err.txt ]; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
        printf 'FAIL: deltawright %s\n  status %s (want %s)\n  stdout %q\n  want   %q\n  stderr %q\n' \
            "$*" "$status" "$want_status" "$(cat out.txt)" "$want_out" "$(cat err.txt)"
    fi
}
# check DESCRIPTION COMMAND...: a file check after the runs.
check() {
    local what=$1
    shift
    if "$@"; then passed=$((passed + 1)); else failed=$((failed + 1)); echo "FAIL: $what"; fi
}

# status  standard output                                            arguments
t 0 "$USAGE"
t 1 "$WRONG$USAGE"                                                   none.patch
t 1 "$WRONG$USAGE"                                                   none.patch new.bin
t 1 "$WRONG$USAGE"                                                   none.patch new.bin old.bin extra
t 1 "$WRONG$USAGE"                                                   none.patch new.bin old.bin extra more
t 1 "Error opening updated file missing.bin"                         kept.patch missing.bin old.bin
t 1 "Error opening original file missing.bin"                        kept.patch new.bin missing.bin
t 1 "Error opening updated file adir"                                kept.patch adir old.bin
t 1 "Error opening original file adir"                               kept.patch new.bin adir
t 1 'Error opening updated file a\x1b[31mb\x07\xff'                   kept.patch "$(printf 'a\033[31mb\a\377')" old.bin
t 1 "Error opening patch file nodir/p.patch"                         nodir/p.patch new.bin old.bin
t 1 "Error opening patch file adir"                                  adir new.bin old.bin
t 1 "Error opening patch file new.bin: it is the updated file"       new.bin new.bin old.bin
t 1 "Error opening patch file ./old.bin: it is the original file"    ./old.bin new.bin old.bin
t 1 "Error opening patch file hardlink.bin: it is the updated file"  hardlink.bin new.bin old.bin
t 1 "Error opening patch file symlink.bin: it is the original file"  symlink.bin new.bin old.bin
t 1 "Error opening patch file new.bin: it is the updated file"       new.bin new.bin new.bin
t 1 "Error opening patch file "                                      "" new.bin old.bin
t 1 "Error opening patch file loop1"                                 loop1 new.bin old.bin
t 1 "Error opening original file missing.bin"                        stale.patch new.bin missing.bin
t 1 "Error opening patch file data.bin: it is not a patch file"      data.bin new.bin old.bin
t 1 "Error opening patch file short.patch: it is not a patch file"   short.patch new.bin old.bin
t 1 "Error opening patch file old.bin: it is not a patch file"       old.bin new.bin kept.patch
t 1 "Error writing patch file /dev/full"                             /dev/full new.bin old.bin
t 1 "Error reading updated file /proc/self/mem"                      read.patch /proc/self/mem old.bin
t 1 "Error reading original file /proc/self/mem"                     read.patch new.bin /proc/self/mem
t 1 "Error reading updated file /proc/self/mem"                      link.patch /proc/self/mem old.bin
cat patch.fifo >/dev/null &
t 1 "Error reading updated file /proc/self/mem"                      patch.fifo /proc/self/mem old.bin
wait
t 0 ""                                                               /dev/null new.bin old.bin
t 0 ""                                                               same.patch new.bin new.bin
t 0 ""                                                               ok.patch new.bin old.bin
t 0 ""                                                               linked.patch new.bin old.bin
t 0 ""                                                               empty.patch new.bin old.bin
t 0 ""                                                               "$LONG" new.bin old.bin
t 0 ""                                                               tail.patch new.bin /dev/null
cat new.bin >fifo &
t 0 ""                                                               fifo.patch fifo old.bin
wait

# A descriptor named as the patch file is written where it stands: appended
# to, and a group's other lines kept.
printf 'before\n' >appended.out
"$tool" /dev/stdout new.bin old.bin >>appended.out
{ echo first; "$tool" /dev/fd/1 new.bin old.bin; echo last; } >grouped.out
"$tool" /dev/stdout new.bin old.bin >&- 2>closed.err
closed_status=$?

# An input opened by a descriptor's name is still that input: swapped or
# not, the file behind standard input is never the patch file.
"$tool" new.bin /dev/stdin old.bin <new.bin >stdin.out
stdin_status=$?
check "the patch file behind /dev/stdin is refused as the updated file (status $stdin_status)" \
    eval '[ "$stdin_status" = 1 ] && [ "$(cat stdin.out)" = "Error opening patch file new.bin: it is the updated file" ]'
cp old.bin self.bin
"$tool" /dev/stdout new.bin self.bin >>self.bin
self_status=$?
# (The message itself goes to standard output, so it follows the original.)
check "standard output appending to the original is refused, the original kept ($self_status)" \
    eval '[ $self_status = 1 ] && cmp -s self.bin <(cat old.bin; printf "Error opening patch file /dev/stdout: it is the original file")'
check "an input that cannot be opened leaves the patch file untouched" \
    cmp -s kept.patch <(header; printf 'keep me')
check "a file that is not a patch is left as it was" \
    eval '[ "$(cat data.bin)" = "old data, not a patch" ] && cmp -s short.patch <(header | head -c 59)'
check "an empty file gets the patch" cmp -s empty.patch ok.patch
check "a refused patch name leaves the inputs untouched" \
    [ "$(cat new.bin old.bin)" = "012XY56789AB0123456789" ]
check "a wrong argument count creates no file" [ ! -e none.patch ]
check "a failed run leaves no patch file" [ ! -e read.patch ]
check "a failed run through a link leaves the link and its target as they were" \
    eval 'cmp -s target.patch <(header; printf "old patch") && [ -L link.patch ]'
check "a failed run never removes what is not a regular file" eval '[ -c /dev/full ] && [ -p patch.fifo ]'
check "a 255-byte patch name gets its patch" cmp -s "$LONG" ok.patch
check "a failed run leaves a stale patch as it was, under status 1" cmp -s stale.patch <(header; printf stale)
check "a refused name creates nothing" eval '[ ! -e "" ] && [ -L loop1 ] && [ -L loop2 ]'
check "replacing a patch breaks its hard link: the other name keeps the old patch" \
    eval 'cmp -s other-link.patch <(header; printf linked) && cmp -s linked.patch ok.patch'
check ">> /dev/stdout appends the patch" cmp -s appended.out <(printf 'before\n'; cat ok.patch)
check "a group around /dev/fd/1 keeps its lines" cmp -s grouped.out <(echo first; cat ok.patch; echo last)
check "a closed standard output is not written through /dev/stdout (status $closed_status)" \
    eval '[ "$closed_status" = 1 ] && [ ! -s closed.err ]'
check "no temporary file is left" [ -z "$(find . -name '.*.tmp*')" ]
check "identical inputs give the 60-byte header alone" cmp -s same.patch <(header)
check "the typical run gives a 76-byte patch, byte for byte" \
    cmp -s ok.patch <(header; printf '\0\3\0\0\0\2XY\1\0\0\0\0\2AB')
check "an empty original gives the whole updated file as an add record" \
    cmp -s tail.patch <(header; printf '\1\0\0\0\0\014012XY56789AB')
check "an updated file read from a pipe gives the same patch" cmp -s fifo.patch ok.patch

echo "cli transcript: $passed passed, $failed failed"
[ "$failed" = 0 ]
