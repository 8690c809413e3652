# Alternating timings, sourced by the benchmark scripts: this machine's
# writeback can move a flushed write two or three times between identical
# runs, so a row and its floors are timed round by round, each command
# after its own preparation, and the row is the median of the rounds'
# ratios rather than a ratio of medians taken in different phases. A
# sealed apply to a file here is often fast and slow in turn (1.4 s, 2.2 s,
# 1.4 s, ...): so each command runs twice in a row within a round and
# counts the mean of the two, and a pattern of period two cannot favour
# one command.

# seconds PREPARE COMMAND: runs PREPARE untimed, then COMMAND, and prints
# COMMAND's wall time in seconds. A failing COMMAND stops the script.
seconds() {
    sh -c "$1" >/dev/null 2>&1
    local start=$EPOCHREALTIME
    sh -c "$2" >/dev/null 2>&1 || { echo "failed: $2" >&2; exit 1; }
    local end=$EPOCHREALTIME
    awk -v a="$start" -v b="$end" 'BEGIN { printf "%.4f\n", b - a }'
}

# median: the median of the numbers on standard input, one per line.
median() {
    sort -g | awk '{ v[NR] = $1 } END { printf "%.3f", NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

# rounds N PREPARE_1 COMMAND_1 [PREPARE_2 COMMAND_2 ...]: N rounds, each
# running the commands in turn, each twice (after one warm-up round, not
# counted).
# Prints each command's median time, then the median over the rounds of
# COMMAND_1's time over the slowest of the others' in the same round.
rounds() {
    local n=$1 i k t slowest
    shift
    local count=$(($# / 2))
    ROUND_TIMES=()  # for rounds_ratio
    for ((i = 0; i <= n; i++)); do
        slowest=0
        local first=0
        for ((k = 0; k < count; k++)); do
            local prep_i=$((1 + 2 * k)) cmd_i=$((2 + 2 * k))
            t=$(seconds "${!prep_i}" "${!cmd_i}")
            t=$(awk -v a="$t" -v b="$(seconds "${!prep_i}" "${!cmd_i}")" 'BEGIN { printf "%.4f", (a + b) / 2 }')
            [ "$i" = 0 ] && continue
            ROUND_TIMES[k * (n + 1) + i]=$t
            if [ "$k" = 0 ]; then
                first=$t
            else
                slowest=$(awk -v a="$slowest" -v b="$t" 'BEGIN { print (b > a ? b : a) }')
            fi
        done
        [ "$i" = 0 ] || ROUND_TIMES[count * (n + 1) + i]=$(awk -v a="$first" -v b="$slowest" 'BEGIN { printf "%.4f", a / b }')
    done
    local out=()
    for ((k = 0; k <= count; k++)); do
        out+=("$(for ((i = 1; i <= n; i++)); do echo "${ROUND_TIMES[k * (n + 1) + i]}"; done | median)")
    done
    echo "${out[*]}"
}

# rounds_ratio N FIRST OTHER...: after `rounds N ...`, the median over its
# rounds of command FIRST's time over the slowest of commands OTHER... in
# the same round (commands counted from 1).
rounds_ratio() {
    local n=$1 first=$2 i k t slowest
    shift 2
    for ((i = 1; i <= n; i++)); do
        slowest=0
        for k in "$@"; do
            t=${ROUND_TIMES[(k - 1) * (n + 1) + i]}
            slowest=$(awk -v a="$slowest" -v b="$t" 'BEGIN { print (b > a ? b : a) }')
        done
        awk -v a="${ROUND_TIMES[(first - 1) * (n + 1) + i]}" -v b="$slowest" 'BEGIN { printf "%.4f\n", a / b }'
    done | median
}
