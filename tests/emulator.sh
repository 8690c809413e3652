# Running a cross-built program under its emulator, sourced by the cross
# tests. The emulator's own trouble (wine's client and server errors,
# qemu-user's set-up errors) must never pass for a difference in the
# program, and a difference must never be hidden: a run whose standard error
# holds such a text is run once more, and the retry is printed. Anything
# else, a crash of the program under emulation included ("qemu: uncaught
# target signal", "wine: Unhandled exception"), stands as it came.
EMULATOR_TROUBLE='^(wine client error:|wineserver: |err:server:|qemu-[a-z0-9_]+: )'

# emulate OUT ERR COMMAND...: runs COMMAND with standard output to OUT and
# standard error to ERR, standard input from /dev/null; returns its status.
emulate() {
    local out=$1 err=$2 status
    shift 2
    "$@" >"$out" 2>"$err" </dev/null
    status=$?
    if grep -Eq "$EMULATOR_TROUBLE" "$err"; then
        echo "RETRY (once, emulator trouble): $* -> $(grep -Em1 "$EMULATOR_TROUBLE" "$err")"
        "$@" >"$out" 2>"$err" </dev/null
        status=$?
    fi
    return "$status"
}
