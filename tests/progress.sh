#!/usr/bin/env bash
# Progress on standard error: a table of runs, each with standard error a
# pipe or a pseudo-terminal (script), and what must be shown. A run is made
# to last over a second by a patch fed through a pipe that pauses after its
# first MiB; a manifest gives the total, so that percentages are shown.
# Usage: progress.sh PATH_TO_DELTAWRIGHT_APPLY PATH_TO_DELTAWRIGHT
set -u
apply=$(realpath "$1")
maker=$(realpath "$2")
# shellcheck source=init.sh
. "$(dirname "$0")/init.sh"
need_tool script bsdutils
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1
P=deltawright-apply

: >empty.bin
head -c 3000000 /dev/urandom >new.bin
"$maker" fw.patch new.bin empty.bin
"$apply" --check --seal fw.manifest new.bin fw.patch empty.bin || exit 1
printf 'another' >other.bin
head -c 2000000 /dev/urandom >old.bin
cp old.bin mid.bin
printf 'XY' | dd of=mid.bin bs=1 seek=1500000 conv=notrunc 2>/dev/null
"$maker" mid.patch mid.bin old.bin
"$apply" --check --seal mid.manifest mid.bin mid.patch old.bin || exit 1
# fw.manifest with another patch digest: a refusal once the patch is read.
sed -E 's/^(patch-sha256 ).*/\1'"$(printf '0%.0s' $(seq 64))"'/' fw.manifest >bad.manifest
# The patch through a pipe, 1.2 s after its first MiB.
cat >slow.sh <<'EOF'
{ head -c 1048576 "$1"; sleep 1.2; tail -c +1048577 "$1"; } | "${@:2}"
EOF

passed=0 failed=0
# run WHERE STATUS ARGS...: the applier with standard error to err.txt
# (WHERE pipe) or with both outputs on a pseudo-terminal (WHERE tty); a
# leading "slow" feeds fw.patch as above for PATCH given as -.
run() {
    local where=$1 want=$2 slow=()
    shift 2
    [ "$1" = slow ] && { slow=(bash slow.sh fw.patch); shift; }
    if [ "$where" = pipe ]; then
        "${slow[@]}" "$apply" "$@" 2>err.txt >/dev/null </dev/null
        status=$?
    else
        script -qec "$(printf '%q ' "${slow[@]}" "$apply" "$@")" /dev/null >err.txt </dev/null
        status=$?
    fi
    [ "$status" = "$want" ]
}
row() {  # row NAME CONDITION...: passes when the run and the condition do
    local name=$1
    shift
    if "$@"; then passed=$((passed + 1)); else
        failed=$((failed + 1))
        echo "FAIL: $name (status $status); standard error:"
        cat -A err.txt | head -20
    fi
}
percent_line='^deltawright-apply: [a-z ()0-9]+: [0-9.]+ [KMG]?i?B(ytes)? of [0-9.]+ [KMG]?i?B(ytes)? \([0-9]+%\)'
# Whole lines only, two or more, each a progress line, the last one final.
progress_lines() {  # progress_lines WHAT: what the stage is called
    ! grep -q $'\r' err.txt && [ "$(wc -l <err.txt)" -ge 2 ] &&
        ! grep -Evq "$percent_line" err.txt && tail -n 1 err.txt | grep -q "^$P: $1: .*(100%), .*done in"
}
final_line() { grep -Eq "^$P: $1: .*\(100%\), .*done in [0-9.]+ s\$" err.txt; }

row "no terminal, no option: nothing" eval 'run pipe 0 slow --manifest fw.manifest out.bin - empty.bin &&
    [ ! -s err.txt ] && cmp -s out.bin new.bin'
row "--progress into a pipe: lines, a percentage, a final line" eval 'run pipe 0 slow --progress \
    --manifest fw.manifest out.bin - empty.bin && progress_lines applying && cmp -s out.bin new.bin'
row "a terminal: shown unasked, rewritten with CR" eval 'run tty 0 slow --manifest fw.manifest out.bin - empty.bin &&
    grep -q $'"'"'\r'"'"'"$P: applying: " err.txt && grep -Eq "\\(100%\\), .*done in" err.txt && cmp -s out.bin new.bin'
row "a terminal with --no-progress: nothing" eval 'run tty 0 slow --no-progress --manifest fw.manifest out.bin - empty.bin &&
    [ ! -s err.txt ]'
row "-q after --progress: nothing" eval 'run pipe 0 slow --progress -q --manifest fw.manifest out.bin - empty.bin &&
    [ ! -s err.txt ]'
# A refusal after progress: the patch read whole does not match the manifest.
# On the terminal the message stands at the start of a line of its own (the
# progress before it, rewritten with CR, ends with a line feed first).
row "a terminal: the line ended before a refusal" eval 'run tty 1 slow --manifest bad.manifest out.bin - empty.bin &&
    grep -q $'"'"'\r'"'"'"$P: applying: " err.txt &&
    grep -q "^$P: patch - does not match bad.manifest: " err.txt'
row "--progress into a pipe: lines, then the refusal" eval 'run pipe 1 slow --progress --manifest bad.manifest \
    out.bin - empty.bin && ! grep -q $'"'"'\r'"'"' err.txt && head -n 1 err.txt | grep -Eq "$percent_line" &&
    tail -n 1 err.txt | grep -q "^$P: patch - does not match bad.manifest: " && [ "$(wc -l <err.txt)" -ge 2 ]'
row "--check --progress: the final line" eval 'run pipe 0 --progress --check mid.bin mid.patch old.bin &&
    final_line checking && [ "$(wc -l <err.txt)" = 1 ]'
cp old.bin target.bin
row "--in-place --progress: each pass" eval 'run pipe 0 --in-place --progress target.bin mid.patch &&
    final_line "checking \\(pass 1 of 2\\)" && final_line "writing \\(pass 2 of 2\\)" && cmp -s target.bin mid.bin'
cp old.bin target.bin
row "--in-place --manifest --progress: each pass" eval 'run pipe 0 --in-place --manifest mid.manifest --progress \
    target.bin mid.patch && final_line "checking \\(pass 1 of 3\\)" && final_line "writing \\(pass 2 of 3\\)" &&
    final_line "verifying \\(pass 3 of 3\\)" && [ "$(wc -l <err.txt)" = 3 ] && cmp -s target.bin mid.bin'
row "--in-place again: the final line, then the message" eval 'run pipe 0 --in-place --progress target.bin mid.patch &&
    final_line "checking \\(pass 1 of 2\\)" &&
    tail -n 1 err.txt | grep -qx "$P: target.bin is already up to date with mid.patch: nothing written"'

echo "progress: $passed passed, $failed failed"
[ "$failed" = 0 ] && [ "$passed" -gt 0 ]
