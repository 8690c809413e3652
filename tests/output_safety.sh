#!/usr/bin/env bash
# What both programs do to an output's owner, mode and privacy, to files the
# caller may not replace, in folders the caller cannot write, and when two
# runs write one name at once. Rows run as root and as an unprivileged user
# (setpriv), with anonymous temporary files and, through NO_TMPFILE, named
# ones. Needs root; skipped (status 77) otherwise.
# Usage: output_safety.sh PATH_TO_DELTAWRIGHT PATH_TO_DELTAWRIGHT_APPLY PATH_TO_NO_TMPFILE
set -u
if [ "$(id -u)" != 0 ]; then
    echo "skipped: needs root, to run rows as another user and to give files away"
    exit 77
fi
# shellcheck source=init.sh
. "$(dirname "$0")/init.sh"
need_tool setfacl acl
need_tool getfacl acl
need_tool setpriv util-linux
work=$(mktemp -d)
trap 'exec 3>&-; rm -rf "$work"' EXIT
chmod 755 "$work"
# Copies that the unprivileged user can reach, wherever the build lies.
mkdir "$work/bin"
cp "$1" "$2" "$3" "$work/bin/"
maker=$work/bin/$(basename "$1")
apply=$work/bin/$(basename "$2")
no_tmpfile=$work/bin/$(basename "$3")
cd "$work" || exit 1
as_nobody() { setpriv --reuid=65534 --regid=65534 --clear-groups "$@"; }
nobody_cannot_read() { ! as_nobody cat "$1" >/dev/null 2>&1; }

printf '0123456789' >old.bin
printf '012XY56789AB' >new.bin
"$maker" good.patch new.bin old.bin
chmod 644 old.bin new.bin good.patch
mkdir user && chown nobody: user  # a folder the unprivileged user writes
mkdir sticky && chmod 1777 sticky  # a sticky folder of root's that anybody writes
cp old.bin new.bin good.patch user/

passed=0 failed=0
check() {
    local what=$1
    shift
    if "$@"; then passed=$((passed + 1)); else failed=$((failed + 1)); echo "FAIL: $what"; fi
}
# old_content PROGRAM: an old output it may replace (for the maker a patch).
old_content() { [ "$1" = maker ] && { printf 'DLT40\377'; head -c 54 /dev/zero; }; printf old; }
# made PROGRAM OUTPUT: the file a complete run of PROGRAM leaves under OUTPUT.
made() { if [ "$1" = maker ]; then cmp -s "$2" good.patch; else cmp -s "$2" new.bin; fi; }
run_program() {
    local program=$1 output=$2
    shift 2
    if [ "$program" = maker ]; then "$@" "$maker" "$output" new.bin old.bin; else "$@" "$apply" "$output" good.patch old.bin; fi
}

for mode in anonymous named; do
    run=()
    [ "$mode" = named ] && run=("$no_tmpfile")
    for program in maker apply; do
        what="$program, $mode"
        # Root replacing another user's set-user-ID file: owner, group and
        # every bit kept, so it is no set-user-ID root file now.
        old_content "$program" >x && chown nobody:nogroup x && chmod 4755 x
        run_program "$program" x "${run[@]}"
        check "$what: root keeps owner, group and mode" [ "$(stat -c '%U:%G %a' x)" = "nobody:nogroup 4755" ]
        check "$what: root replaced the file" made "$program" x
        # A user replacing its set-group-ID file whose group it cannot keep:
        # the set-ID bits go with the group.
        old_content "$program" >user/y && chown nobody:root user/y && chmod 6750 user/y
        (cd user && run_program "$program" y as_nobody "${run[@]}")
        check "$what: a changed group drops the set-ID bits" [ "$(stat -c '%U:%G %a' user/y)" = "nobody:nogroup 750" ]
        # A read-only file of another owner is refused before anything is read.
        printf 'read only' >user/ro && chmod 444 user/ro
        (cd user && run_program "$program" ro as_nobody "${run[@]}") >out.txt 2>err.txt
        status=$?
        check "$what: a 0444 file of root's is refused ($status)" eval '[ "$status" != 0 ] && [ "$(cat user/ro)" = "read only" ]'
        [ "$program" = apply ] && check "$what: with the system's reason" \
            [ "$(cat err.txt)" = "deltawright-apply: cannot create ro: Permission denied" ]
        # A file the user may write in a folder it may not: written in place.
        old_content "$program" >w && chown nobody w
        run_program "$program" w as_nobody "${run[@]}"
        check "$what: in place in a folder the user cannot write" made "$program" w
        # ... and after a failure it is emptied, since it cannot be removed.
        if [ "$program" = maker ]; then
            as_nobody "${run[@]}" "$maker" w /proc/self/mem old.bin >/dev/null
        else
            as_nobody "${run[@]}" "$apply" w /proc/self/mem old.bin 2>/dev/null
        fi
        check "$what: a failed run in place leaves it empty" eval '[ -f w ] && [ ! -s w ]'
        # Another user's file in a sticky folder cannot be renamed over:
        # refused before an input is read (/proc/self/mem fails when read).
        old_content "$program" >sticky/theirs && chmod 666 sticky/theirs
        if [ "$program" = maker ]; then
            as_nobody "${run[@]}" "$maker" sticky/theirs /proc/self/mem old.bin >err.txt
            want="Error opening patch file sticky/theirs"
        else
            as_nobody "${run[@]}" "$apply" sticky/theirs /proc/self/mem old.bin 2>err.txt
            want="deltawright-apply: cannot create sticky/theirs: Operation not permitted"
        fi
        check "$what: another user's file in a sticky folder is refused first ($(cat err.txt))" \
            eval '[ "$(cat err.txt)" = "$want" ] && cmp -s sticky/theirs <(old_content "$program")'
        # An input behind standard input is still that input: the file
        # written in place (its folder is not the user's) is never emptied.
        cp old.bin w2 && chown nobody w2
        if [ "$program" = maker ]; then
            as_nobody "${run[@]}" "$maker" w2 new.bin /dev/stdin <w2 >err.txt
            want="Error opening patch file w2: it is the original file"
        else
            as_nobody "${run[@]}" "$apply" w2 good.patch - <w2 2>err.txt
            want="deltawright-apply: cannot write w2: it is the original file"
        fi
        check "$what: an input on standard input is not written in place ($(cat err.txt))" \
            eval '[ "$(cat err.txt)" = "$want" ] && cmp -s w2 old.bin'
        # ACLs: a replaced file keeps its access ACL (the owning group gains
        # nothing, the named entry stays); a new file in a folder with a
        # default ACL gets what creating it there gives; a replaced file
        # without an ACL takes none from the folder.
        old_content "$program" >acl.out && chmod 600 acl.out
        setfacl -m u:nobody:rw-,g::---,m::rw- acl.out
        getfacl -cp acl.out >acl.before 2>/dev/null
        run_program "$program" acl.out "${run[@]}"
        check "$what: a replaced file keeps its ACL" \
            eval 'made "$program" acl.out && getfacl -cp acl.out 2>/dev/null | cmp -s - acl.before'
        rm -rf dacl && mkdir dacl && setfacl -d -m u::rw-,g::r--,o::---,u:nobody:r-- dacl
        : >dacl/reference
        run_program "$program" dacl/new.out "${run[@]}"
        check "$what: a new file gets its folder's default ACL, as creating it would" \
            eval 'made "$program" dacl/new.out && cmp -s <(getfacl -cp dacl/new.out) <(getfacl -cp dacl/reference)'
        old_content "$program" >dacl/plain.out && setfacl -b dacl/plain.out && chmod 640 dacl/plain.out
        run_program "$program" dacl/plain.out "${run[@]}"
        check "$what: a replaced file without an ACL takes none from its folder" \
            eval '[ "$(getfacl -cp dacl/plain.out | grep -c nobody)" = 0 ] && [ "$(stat -c %a dacl/plain.out)" = 640 ]'
        rm -rf x user/y user/ro w w2 acl.out acl.before dacl
    done

    # A private output stays private while it is written: with the patch
    # stalled, the folder shows either nothing new (anonymous) or a 0600
    # temporary file the other user cannot open; the result keeps 0600.
    printf 'secret' >secret.bin && chmod 600 secret.bin
    rm -f stall.fifo && mkfifo stall.fifo
    exec 3<>stall.fifo
    "${run[@]}" "$apply" secret.bin stall.fifo old.bin 3>&- &
    pid=$!
    for _ in $(seq 100); do
        [ -n "$(find . -name '.secret.bin.tmp*')" ] || ls -l "/proc/$pid/fd" 2>/dev/null | grep -q deleted && break
        sleep 0.02
    done
    temp=$(find . -name '.secret.bin.tmp*')
    if [ "$mode" = anonymous ]; then
        check "$mode: the temporary output has no name" [ -z "$temp" ]
    else
        check "$mode: the temporary output is 0600" [ "$(stat -c %a "$temp")" = 600 ]
        check "$mode: another user cannot read it" nobody_cannot_read "$temp"
    fi
    cat good.patch >&3
    exec 3>&-
    wait "$pid"
    check "$mode: the private output is complete and still 0600" \
        eval '[ "$(stat -c %a secret.bin)" = 600 ] && cmp -s secret.bin new.bin'

    # Two runs writing one name at once: one complete output, never a mix.
    head -c 8000000 /dev/urandom >big-old.bin
    head -c 8000000 /dev/urandom >big-a.bin
    cp big-old.bin big-b.bin && printf 'tail' >>big-b.bin
    "$maker" a.patch big-a.bin big-old.bin
    "$maker" b.patch big-b.bin big-old.bin
    for round in 1 2 3 4 5; do
        "${run[@]}" "$maker" same.patch big-a.bin big-old.bin &
        "${run[@]}" "$maker" same.patch big-b.bin big-old.bin &
        "${run[@]}" "$apply" same.out a.patch big-old.bin &
        "${run[@]}" "$apply" same.out b.patch big-old.bin &
        wait
        check "$mode, round $round: two makers leave one complete patch" \
            eval 'cmp -s same.patch a.patch || cmp -s same.patch b.patch'
        check "$mode, round $round: two appliers leave one complete output" \
            eval 'cmp -s same.out big-a.bin || cmp -s same.out big-b.bin'
    done
    check "$mode: no temporary file is left" [ -z "$(find . -name '.*.tmp*')" ]
done

echo "output safety: $passed passed, $failed failed"
[ "$failed" = 0 ]
