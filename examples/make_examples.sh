#!/usr/bin/env bash
# Writes the two sample inputs in this folder: original.bin (4096 bytes of
# pseudo-random data) and updated.bin, the same data with four differing runs
# (3, 1, 300 and 10 bytes long) and 200 more bytes at the end.
set -eu
cd "$(dirname "$0")"
export LC_ALL=C
awk 'BEGIN {
    x = 12345
    for (i = 0; i < 4296; i++) {
        x = (x * 1103515245 + 12345) % 2147483648
        b = 1 + int(x / 65536) % 255           # 1..255: no NUL for awk to trip on
        orig = b
        upd = b
        if ((i >= 100 && i < 103) || i == 1000 || (i >= 2000 && i < 2300) || (i >= 4000 && i < 4010))
            upd = 1 + (b + 127) % 255           # always differs from b
        if (i < 4096) printf "%c", orig > "original.bin"
        printf "%c", upd > "updated.bin"
    }
}'
