#!/usr/bin/env bash
# Both programs stopped by SIGINT, SIGTERM or SIGHUP while they wait on an
# input that stalls: each must end as killed by that signal and leave nothing
# half-made: no patch file, no temporary file, an existing output unchanged,
# and nothing removed that is not a regular file of theirs.
# Usage: signal_cleanup.sh PATH_TO_DELTAWRIGHT PATH_TO_DELTAWRIGHT_APPLY
set -u
maker=$(realpath "$1")
apply=$(realpath "$2")
work=$(mktemp -d)
trap 'exec 3>&-; rm -rf "$work"' EXIT
cd "$work" || exit 1

printf '0123456789' >old.bin
printf '012XY56789AB' >new.bin
"$maker" good.patch new.bin old.bin
# A FIFO that always has a writer but gets no more than a few bytes: readers block on it.
mkfifo stall.fifo
exec 3<>stall.fifo
printf 'DLT40' >&3

# killed_by SIGNAL FILE COMMAND...: starts COMMAND, waits until FILE (a glob)
# exists, sends SIGNAL, and prints how COMMAND ended: "signal N" or "exit N".
killed_by() {
    perl -e '
        my ($sig, $glob, @cmd) = @ARGV;
        my $pid = fork() // die "fork: $!";
        if ($pid == 0) {
            $SIG{$_} = "DEFAULT" for qw(INT TERM HUP);
            exec @cmd or exit 127;
        }
        for (1 .. 1000) { last if glob($glob); select(undef, undef, undef, 0.01) }
        select(undef, undef, undef, 0.2);  # into the blocking read
        kill $sig, $pid;
        waitpid($pid, 0);
        print(($? & 127) ? "signal " . ($? & 127) : "exit " . ($? >> 8));
    ' "$@"
}

passed=0 failed=0
check() {
    local what=$1
    shift
    if "$@"; then passed=$((passed + 1)); else failed=$((failed + 1)); echo "FAIL: $what"; fi
}
no_temporary_files() { [ -z "$(find . -name '.*.tmp*')" ]; }

for sig in INT:2 TERM:15 HUP:1; do
    name=${sig%:*} number=${sig#*:}
    ended=$(killed_by "$name" sig.patch "$maker" sig.patch stall.fifo old.bin)
    check "maker, SIG$name: ends by the signal ($ended)" [ "$ended" = "signal $number" ]
    check "maker, SIG$name: no patch file is left" [ ! -e sig.patch ]

    printf 'keep me' >kept.bin
    ended=$(killed_by "$name" '.kept.bin.tmp*' "$apply" kept.bin stall.fifo old.bin)
    check "applier, SIG$name: ends by the signal ($ended)" [ "$ended" = "signal $number" ]
    check "applier, SIG$name: the existing output is unchanged" [ "$(cat kept.bin)" = "keep me" ]
    check "applier, SIG$name: no temporary file is left" no_temporary_files

    ended=$(killed_by "$name" '.new.out.tmp*' "$apply" new.out good.patch stall.fifo)
    check "applier, SIG$name, original stalls: ends by the signal ($ended)" [ "$ended" = "signal $number" ]
    check "applier, SIG$name, original stalls: no output is created" [ ! -e new.out ]
    check "applier, SIG$name, original stalls: no temporary file is left" no_temporary_files
done

# Through a symbolic link the maker removes the file the link points to, and
# leaves the link.
printf 'old patch' >target.patch
ln -s target.patch link.patch
ended=$(killed_by TERM target.patch "$maker" link.patch stall.fifo old.bin)
check "maker through a link: ends by the signal ($ended)" [ "$ended" = "signal 15" ]
check "maker through a link: the target is removed, the link stays" \
    [ ! -e target.patch ] && [ -L link.patch ]

# A patch file that is not a regular file (here a FIFO with a reader) is never removed.
mkfifo out.fifo
cat out.fifo >/dev/null &
ended=$(killed_by TERM out.fifo "$maker" out.fifo stall.fifo old.bin)
wait
check "maker writing a FIFO: ends by the signal ($ended)" [ "$ended" = "signal 15" ]
check "maker writing a FIFO: the FIFO stays" [ -p out.fifo ]

echo "signal cleanup: $passed passed, $failed failed"
[ "$failed" = 0 ]
