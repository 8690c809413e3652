#!/usr/bin/env bash
# The order in which both programs put an output on stable storage, traced
# with strace: the file's data flushed (fsync) before it is renamed over the
# name, and the folder flushed after; a direct output to a file is flushed
# too. With anonymous temporary files and, through NO_TMPFILE, named ones.
# Skipped (status 77) without strace.
# Usage: durability_order.sh PATH_TO_DELTAWRIGHT PATH_TO_DELTAWRIGHT_APPLY PATH_TO_NO_TMPFILE
set -u
maker=$(realpath "$1")
apply=$(realpath "$2")
no_tmpfile=$(realpath "$3")
# shellcheck source=init.sh
. "$(dirname "$0")/init.sh"
need_tool strace strace
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1

printf '0123456789' >old.bin
printf '012XY56789AB' >new.bin
"$maker" good.patch new.bin old.bin
printf 'old' >existing.out

passed=0 failed=0
check() {
    local what=$1
    shift
    if "$@"; then passed=$((passed + 1)); else failed=$((failed + 1)); echo "FAIL: $what"; cat trace.txt; fi
}
# trace COMMAND...: the calls that decide durability, one per line, without
# process numbers: "fsync(6)", "renameat(5,.x.tmpab,5,x)", ...
trace() {
    strace -f -qq -e trace=fsync,fdatasync,rename,renameat,renameat2,linkat -o raw.txt "$@"
    sed -E 's/^[0-9]+ +//; s/ = .*//; s/, /,/g; s/"//g' raw.txt >trace.txt
}
# replaced_in_order: the output's fsync, then the rename into the folder (or
# the link of an anonymous file under a new name), then the folder's fsync;
# nothing put under the name before its data were flushed.
replaced_in_order() {
    awk -F'[(),]' '
        /^fsync\(/ && !renamed { data[$2] = 1; next }
        /^renameat2?\(/ && !renamed { folder = $2; renamed = 1; ok_data = length(data) > 0; next }
        /^linkat\(/ && !renamed && $5 !~ /\.tmp/ { folder = $4; renamed = 1; ok_data = length(data) > 0; next }
        /^fsync\(/ && renamed && $2 == folder { synced_folder = 1 }
        END { exit !(renamed && ok_data && synced_folder) }
    ' trace.txt
}

for mode in anonymous named; do
    run=()
    [ "$mode" = named ] && run=("$no_tmpfile")
    for output in new.out existing.out; do
        [ "$output" = existing.out ] && cp good.patch existing.out  # a patch the maker replaces
        trace "${run[@]}" "$maker" "$output" new.bin old.bin >/dev/null
        check "maker, $mode, $output: data flushed, renamed, folder flushed" replaced_in_order
        trace "${run[@]}" "$apply" "$output" good.patch old.bin >/dev/null
        check "applier, $mode, $output: data flushed, renamed, folder flushed" replaced_in_order
        rm -f new.out
    done
    # A new name never has a temporary name beside it, anonymous files
    # permitting: a kill at any instant leaves nothing to clean up.
    trace "${run[@]}" "$apply" new.out good.patch old.bin >/dev/null
    if [ "$mode" = anonymous ]; then
        check "$mode: a new output is linked under its name directly" \
            eval '! grep -q "\.tmp" trace.txt && grep -q "^linkat(.*,new.out," trace.txt'
    fi
    rm -f new.out
done
# A regular file behind standard output is written where it stands and flushed.
trace "$apply" /dev/stdout good.patch old.bin >direct.out
check "applier to a file behind standard output: flushed, nothing renamed" \
    eval 'grep -q "^fsync(" trace.txt && ! grep -q "^rename" trace.txt'
trace "$maker" /dev/stdout new.bin old.bin >direct.patch
check "maker to a file behind standard output: flushed, nothing renamed" \
    eval 'grep -q "^fsync(" trace.txt && ! grep -q "^rename" trace.txt'

echo "durability order: $passed passed, $failed failed"
[ "$failed" = 0 ]
