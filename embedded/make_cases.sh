#!/bin/sh
# Makes the device test's cases on the host: pairs of files, their patches
# made by the native deltawright, and the result each must give, written as
# C arrays into one header.
# Usage: make_cases.sh NATIVE_DELTAWRIGHT EXAMPLES_DIR OUT_HEADER
set -eu
maker=$1 examples=$2 out=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

seq 1 1500 >base
# name | updated | original | expected error (0: none)
cp "$examples/original.bin" example.o
cp "$examples/updated.bin" example.u
cp base scattered.o
{ tr 1 X <base; seq 9000 9150; } >scattered.u
cp base long_run.o
{ head -c 500 base; head -c 700 /dev/zero | tr '\0' Z; tail -c +1201 base; } >long_run.u
cp base shorter.o
head -c 3000 base | tr 7 q >shorter.u
cp base identical.o
cp base identical.u
: >from_empty.o
seq 1 150 >from_empty.u
cases="example scattered long_run shorter identical from_empty"

hex() { od -An -v -tx1 "$1" | sed 's/ \([0-9a-f][0-9a-f]\)/0x\1,/g'; }
array() { # NAME FILE
    printf 'static const uint8_t %s[] = {\n' "$1"
    if [ -s "$2" ]; then hex "$2"; else echo 0; fi
    printf '};\n'
}
{
    echo "/* Made by make_cases.sh: do not edit. */"
    for c in $cases truncated; do
        if [ "$c" = truncated ]; then
            # The scattered patch without its last byte: a record cut short.
            head -c -1 scattered.patch >truncated.patch
            cp scattered.o truncated.o
            : >truncated.x
        else
            "$maker" "$c.patch" "$c.u" "$c.o" >/dev/null
            cp "$c.u" "$c.x"
            o_size=$(wc -c <"$c.o") u_size=$(wc -c <"$c.u")
            # A shorter updated file: the result goes on with the original's last bytes.
            [ "$u_size" -ge "$o_size" ] || tail -c +"$((u_size + 1))" "$c.o" >>"$c.x"
        fi
        array "${c}_original" "$c.o"
        array "${c}_patch" "$c.patch"
        array "${c}_expected" "$c.x"
    done
    echo "static const struct device_case CASES[] = {"
    for c in $cases truncated; do
        error=0
        [ "$c" != truncated ] || error=2 # DW_ERROR_TRUNCATED
        echo "    {\"$c\", ${c}_original, $(wc -c <"$c.o"), ${c}_patch, $(wc -c <"$c.patch"), ${c}_expected, $(wc -c <"$c.x"), $error},"
    done
    echo "};"
} >"$out.tmp"
mv "$out.tmp" "$out"
