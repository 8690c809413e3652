#!/usr/bin/env bash
# The worked example of doc/patch-format.md must be what the tool writes: the
# inputs are taken from the document, the tool is run on them, and its patch
# is compared byte for byte with the document's dump, offsets included; and
# the applier, given that patch, must rebuild the documented updated file.
# Usage: format_doc_test.sh PATH_TO_DELTAWRIGHT PATH_TO_DOC PATH_TO_DELTAWRIGHT_APPLY
set -u
tool=$(realpath "$1")
doc=$(realpath "$2")
apply=$(realpath "$3")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1

# block MARKER: the lines of the fenced block that follows <!-- MARKER -->.
block() {
    awk -v m="<!-- $1 -->" '$0 == m { found = 1; next } found && /^```/ { if (inside) exit; inside = 1; next } inside' "$doc"
}
block example-inputs | sed -n 's/^original: //p' | tr -d '\n' >original.bin
block example-inputs | sed -n 's/^updated:  //p' | tr -d '\n' >updated.bin
[ -s original.bin ] && [ -s updated.bin ] || { echo "FAIL: no example inputs found"; exit 1; }

"$tool" example.patch updated.bin original.bin

# Each dump line: a decimal offset, hex bytes, then an optional label. The
# offsets must count the bytes listed before them.
block example-patch | tail -n +2 | awk '
    {
        if ($1 != count) { printf "FAIL: dump line says offset %s, bytes so far %d\n", $1, count | "cat 1>&2"; bad = 1 }
        for (i = 2; i <= NF && $i ~ /^[0-9a-f][0-9a-f]$/; i++) { print $i; count++ }
    }
    END { exit bad }' >documented.hex || exit 1
od -A n -t x1 -v example.patch | tr -s ' ' '\n' | sed '/^$/d' >actual.hex

if ! cmp -s documented.hex actual.hex; then
    echo "FAIL: the documented patch differs from the tool's:"
    diff documented.hex actual.hex | head -n 20
    echo "format document example: 0 passed, 1 failed"
    exit 1
fi
if ! "$apply" /dev/stdout example.patch original.bin | cmp -s - updated.bin; then
    echo "FAIL: the documented patch, applied, does not give the documented updated file"
    echo "format document example: 1 passed, 1 failed"
    exit 1
fi
echo "format document example: 2 passed, 0 failed"
