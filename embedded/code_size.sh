#!/bin/sh
# Sums the code the linker kept from the objects named NAME (their .text
# input sections in the link map) and fails above LIMIT bytes.
# Usage: code_size.sh MAP LIMIT NAME
set -eu
awk -v limit="$2" -v name="$3" '
function hex(s,   n, i, c) {
    n = 0
    s = tolower(s)
    sub(/^0x/, "", s)
    for (i = 1; i <= length(s); i++) {
        c = index("0123456789abcdef", substr(s, i, 1)) - 1
        n = n * 16 + c
    }
    return n
}
function take(size, object) {
    if (object ~ ("[(/]" name "[^/]*\\.obj\\)?$")) {
        total += hex(size)
        printf "%6d  %s  %s\n", hex(size), section, object
    }
}
/^Discarded input sections/ { discarded = 1 }
/^Linker script and memory map/ { discarded = 0 }
discarded { next }
pending { pending = 0; if (NF == 3) take($2, $3) }
/^ \.text/ { section = $1; if (NF == 4) take($3, $4); else if (NF == 1) pending = 1 }
END {
    printf "%d bytes of code (%s), limit %d\n", total, name, limit
    exit total <= limit ? 0 : 1
}' "$1"
