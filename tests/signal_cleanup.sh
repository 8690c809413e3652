#!/usr/bin/env bash
# Both programs killed while they wait on an input that stalls, by SIGKILL
# and by every signal they clean up after: each must end as killed by that
# signal, and the output's name must hold its old content or nothing, never
# a partial result. With anonymous temporary files (Linux O_TMPFILE) nothing
# at all is left behind; run through NO_TMPFILE (a file system without them)
# the named temporary file is removed, except after SIGKILL, which no
# program can clean up after.
# Usage: signal_cleanup.sh PATH_TO_DELTAWRIGHT PATH_TO_DELTAWRIGHT_APPLY PATH_TO_NO_TMPFILE
set -u
maker=$(realpath "$1")
apply=$(realpath "$2")
no_tmpfile=$(realpath "$3")
work=$(mktemp -d)
trap 'exec 3>&-; rm -rf "$work"' EXIT
cd "$work" || exit 1
ulimit -c 0  # SIGQUIT and SIGXFSZ would dump core

printf '0123456789' >old.bin
printf '012XY56789AB' >new.bin
"$maker" good.patch new.bin old.bin
# A FIFO that always has a writer but gets no more than a few bytes: readers block on it.
mkfifo stall.fifo
exec 3<>stall.fifo
printf 'DLT40' >&3

# killed_by SIGNAL OPEN IGNORED COMMAND...: starts COMMAND (with the signal
# IGNORED ignored, unless it is -), waits until it holds a file open whose
# name matches the regular expression OPEN, sends SIGNAL, and prints how
# COMMAND ended: "signal N" or "exit N".
killed_by() {
    perl -e '
        my ($sig, $open, $ignored, @cmd) = @ARGV;
        my $pid = fork() // die "fork: $!";
        if ($pid == 0) {
            $SIG{$_} = "DEFAULT" for qw(INT TERM HUP QUIT ALRM USR1 USR2 XFSZ);
            $SIG{$ignored} = "IGNORE" if $ignored ne "-";
            exec @cmd or exit 127;
        }
        WAIT: for (1 .. 1000) {
            for my $fd (glob("/proc/$pid/fd/*")) {
                my $target = readlink($fd) // next;
                last WAIT if $target =~ $open;
            }
            select(undef, undef, undef, 0.01);
        }
        select(undef, undef, undef, 0.2);  # into the blocking read
        kill $sig, $pid;
        if ($ignored ne "-") {             # still running: end it
            select(undef, undef, undef, 0.2);
            kill "KILL", $pid;
        }
        waitpid($pid, 0);
        print(($? & 127) ? "signal " . ($? & 127) : "exit " . ($? >> 8));
    ' "$@"
}

# The temporary output for NAME: anonymous, or named after NAME.
temporary() { printf '/(#[0-9]+ \\(deleted\\)|\\.%s\\.tmp\\w{8})$' "${1//./\\.}"; }

passed=0 failed=0
check() {
    local what=$1
    shift
    if "$@"; then passed=$((passed + 1)); else failed=$((failed + 1)); echo "FAIL: $what"; fi
}
temporary_files() { find . -name '.*.tmp*'; }
# old_content PROGRAM WORD: an old output: for the maker a patch (the
# header, then WORD), which it may replace.
old_content() { [ "$1" = maker ] && { printf 'DLT40\377'; head -c 54 /dev/zero; }; printf '%s' "$2"; }

for mode in anonymous named; do
    run=()
    [ "$mode" = named ] && run=("$no_tmpfile")
    for name in KILL INT TERM HUP QUIT ALRM USR1 USR2 XFSZ; do
        want="signal $(kill -l "$name")"
        # Leftovers allowed: none, but a named temporary file after SIGKILL.
        left_ok() { [ -z "$(temporary_files)" ] || { [ "$mode/$name" = named/KILL ] && rm -f .*.tmp*; }; }
        what="$mode, SIG$name"

        # program  output      its old content  arguments after the output
        # (an old patch is the header and the word given)
        while read -r program output old args; do
            [ "$old" = - ] || old_content "$program" "$old" >"$output"
            # shellcheck disable=SC2086 # the arguments are words
            ended=$(killed_by "$name" "$(temporary "$output")" - "${run[@]}" "${!program}" "$output" $args </dev/null)
            row="$program $output, $what"
            check "$row: ends by the signal ($ended)" [ "$ended" = "$want" ]
            if [ "$old" = - ]; then
                check "$row: no output is created" [ ! -e "$output" ]
            else
                check "$row: the old output is intact" cmp -s "$output" <(old_content "$program" "$old")
            fi
            check "$row: no temporary file is left" left_ok
        done <<'ROWS'
maker  kept.patch  old-patch  stall.fifo old.bin
maker  new.patch   -          new.bin stall.fifo
apply  kept.bin    keep-me    stall.fifo old.bin
apply  new.out     -          good.patch stall.fifo
ROWS
    done

    # A signal the parent set to be ignored stays ignored: the run goes on
    # until SIGKILL ends it.
    ended=$(killed_by TERM "$(temporary kept.bin)" TERM "${run[@]}" "$apply" kept.bin stall.fifo old.bin)
    check "$mode: an ignored SIGTERM is still ignored ($ended)" [ "$ended" = "signal 9" ]
    rm -f .*.tmp*
done

# A file size limit (ulimit -f) reached while writing: SIGXFSZ ends the run
# and the name holds the old output, or nothing.
head -c 300000 /dev/urandom >big.bin
old_content maker 'old patch' >limit.patch
printf 'keep me' >limit.out
"$maker" big.patch big.bin /dev/null
xfsz=$((128 + $(kill -l XFSZ)))  # the status of a process killed by SIGXFSZ
for mode in anonymous named; do
    run=()
    [ "$mode" = named ] && run=("$no_tmpfile")
    # (bash reports the signal on standard error; that report is not checked)
    { (ulimit -f 100 && exec "${run[@]}" "$maker" limit.patch big.bin old.bin); } 2>/dev/null
    status=$?
    check "maker, $mode, over the file size limit: killed by SIGXFSZ ($status)" [ $status = "$xfsz" ]
    { (ulimit -f 100 && exec "${run[@]}" "$apply" limit.out big.patch /dev/null); } 2>/dev/null
    status=$?
    check "applier, $mode, over the file size limit: killed by SIGXFSZ ($status)" [ $status = "$xfsz" ]
    check "$mode, over the file size limit: both old outputs intact, no temporary file" \
        eval 'cmp -s limit.patch <(old_content maker "old patch") && [ "$(cat limit.out)" = "keep me" ] && [ -z "$(temporary_files)" ]'
done

# Through a symbolic link the file it points to is the output; the link stays.
old_content maker 'old patch' >target.patch
ln -s target.patch link.patch
ended=$(killed_by TERM "$(temporary target.patch)" - "$maker" link.patch stall.fifo old.bin)
check "maker through a link: ends by the signal ($ended)" [ "$ended" = "signal 15" ]
check "maker through a link: the target is intact, the link stays" \
    eval 'cmp -s target.patch <(old_content maker "old patch") && [ -L link.patch ]'

# A patch file that is not a regular file (a FIFO with a reader) is written
# directly and never removed.
mkfifo out.fifo
cat out.fifo >/dev/null &
ended=$(killed_by TERM '/out\.fifo$' - "$maker" out.fifo stall.fifo old.bin)
wait
check "maker writing a FIFO: ends by the signal ($ended)" [ "$ended" = "signal 15" ]
check "maker writing a FIFO: the FIFO stays" [ -p out.fifo ]

echo "signal cleanup: $passed passed, $failed failed"
[ "$failed" = 0 ]
