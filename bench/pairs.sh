# Alternating timings, sourced by the benchmark scripts: this machine's
# writeback can move a flushed write two or three times between identical
# runs, so a row and its floor are timed pair by pair, each after its own
# preparation, and the row is the median of the pairs' ratios.

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
    sort -g | awk '{ v[NR] = $1 } END { printf "%.4f", NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

# pairs N PREPARE_A COMMAND_A PREPARE_B COMMAND_B: N alternating pairs (one
# warm-up pair first, not counted); prints "median_a median_b median_ratio"
# where the ratio is a / b, pair by pair.
pairs() {
    local n=$1 i a b
    seconds "$2" "$3" >/dev/null
    seconds "$4" "$5" >/dev/null
    local as=() bs=() rs=()
    for ((i = 0; i < n; i++)); do
        a=$(seconds "$2" "$3")
        b=$(seconds "$4" "$5")
        as+=("$a") bs+=("$b")
        rs+=("$(awk -v a="$a" -v b="$b" 'BEGIN { printf "%.4f", a / b }')")
    done
    echo "$(printf '%s\n' "${as[@]}" | median) $(printf '%s\n' "${bs[@]}" | median) $(printf '%s\n' "${rs[@]}" | median)"
}
