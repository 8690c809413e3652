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
    exit 1
fi
# The listing, exactly as documented, and its JSON Lines, each line parsed
# as JSON (by CMake's parser) and read back.
if ! "$apply" --list example.patch | cmp -s - <(block example-list); then
    echo "FAIL: --list prints otherwise than documented:"
    diff <("$apply" --list example.patch) <(block example-list)
    exit 1
fi
"$apply" --list --json example.patch >listing.jsonl
if ! cmp -s listing.jsonl <(block example-json); then
    echo "FAIL: --list --json prints otherwise than documented:"
    diff listing.jsonl <(block example-json)
    exit 1
fi
cat >parse.cmake <<'CMAKE'
file(STRINGS listing.jsonl lines)
set(replaced 0)
foreach(line IN LISTS lines)
  string(JSON bytes ERROR_VARIABLE not_replace GET "${line}" replace bytes)
  string(JSON name ERROR_VARIABLE not_summary GET "${line}" patch)
  if(NOT not_replace)
    math(EXPR replaced "${replaced} + ${bytes}")
  elseif(NOT not_summary)
    string(JSON valid GET "${line}" valid)
    string(JSON total GET "${line}" replaced_bytes)
    string(JSON shortest GET "${line}" shortest_original)
  endif()
endforeach()
if(NOT valid STREQUAL "ON" OR NOT total EQUAL replaced OR NOT shortest EQUAL 13)
  message(FATAL_ERROR "JSON read back: valid ${valid}, replaced ${total} (runs ${replaced}), shortest ${shortest}")
endif()
CMAKE
if ! cmake -P parse.cmake; then
    echo "FAIL: the JSON Lines do not parse or do not add up"
    exit 1
fi
# Cut by one byte: status 1, and the JSON says why and where.
head -c -1 example.patch >cut.patch
"$apply" --list --json cut.patch >cut.jsonl
status=$?
if [ "$status" != 1 ] || ! tail -n 1 cut.jsonl | grep -qF '"valid": false, "error": "record cut short by the end of the patch", "error_code": 2, "error_position": 74'; then
    echo "FAIL: --list of a cut patch: status $status, $(tail -n 1 cut.jsonl)"
    exit 1
fi
# Cut inside the add record's data: only the bytes it holds are counted.
head -c -5 example.patch >cut5.patch
"$apply" --list --json cut5.patch | tail -n 1 >cut5.jsonl
if ! grep -qF '"error_position": 74, "cut_record_bytes": 6, "cut_record_length": 11, "replace_records": 2, "replaced_bytes": 2, "add_records": 1, "added_bytes": 6,' cut5.jsonl; then
    echo "FAIL: --list --json of a record cut short: $(cat cut5.jsonl)"
    exit 1
fi
want_cut="  an invalid patch: record at byte 74: record cut short by the end of the patch (the last record holds 6 of its 11 data bytes; only those are counted); the lines above are what comes before it"
if [ "$("$apply" --list cut5.patch | sed -n 5p)" != "$want_cut" ]; then
    echo "FAIL: --list of a record cut short: $("$apply" --list cut5.patch)"
    exit 1
fi
# --list's counts in the singular and the plural as they fall, a table of
# patches and their whole listings: a header alone (no reference to lines
# above where there are none), one byte replaced and one added, an add
# record cut before its one data byte; and a header cut short.
head -c 60 example.patch >header.patch
head -c 59 example.patch >short-header.patch
{ cat header.patch; printf '\000\001\000\000\000\001X\001\000\000\000\000\001c'; } >one.patch
{ cat header.patch; printf '\001\000\000\000\000\001'; } >cut-add.patch
listed=0
# listing PATCH LINE...: PATCH's listing is exactly the lines, after its name.
listing() {
    local patch=$1
    shift
    if ! "$apply" --list "$patch" | cmp -s - <(printf '%s\n' "$patch:" "$@"); then
        echo "FAIL: --list $patch:"
        "$apply" --list "$patch"
        exit 1
    fi
    listed=$((listed + 1))
}
listing header.patch "  a valid patch" \
    "  0 replace records replacing 0 bytes, 0 add records adding 0 bytes" \
    "  no byte of the original replaced" \
    "  applies to an original of at least 0 bytes; for one of N bytes the result is N + 0 bytes"
listing one.patch "  replace bytes 1 to 1 (1 byte, 1 record)" \
    "  add 1 byte at the original's end (1 record)" \
    "  a valid patch" \
    "  1 replace record replacing 1 byte, 1 add record adding 1 byte" \
    "  replaced bytes from 1 to 1" \
    "  applies to an original of at least 2 bytes; for one of N bytes the result is N + 1 byte"
listing cut-add.patch "  add 0 bytes at the original's end (1 record)" \
    "  an invalid patch: record at byte 60: record cut short by the end of the patch (the last record holds 0 of its 1 data byte; only those are counted); the lines above are what comes before it" \
    "  0 replace records replacing 0 bytes, 1 add record adding 0 bytes" \
    "  no byte of the original replaced" \
    "  applies to an original of at least 0 bytes; for one of N bytes the result is N + 0 bytes"
if [ "$("$apply" --list short-header.patch | sed -n 2p)" != "  an invalid patch: header at byte 0: not the 60-byte DLT40 header" ]; then
    echo "FAIL: --list of a header cut short"
    exit 1
fi
# The JSON's text fields carry no counts: the error is the library's text.
if ! "$apply" --list --json cut-add.patch | tail -n 1 | grep -qF '"error": "record cut short by the end of the patch", "error_code": 2, "error_position": 60, "cut_record_bytes": 0, "cut_record_length": 1,'; then
    echo "FAIL: --list --json of an add record cut before its data: $("$apply" --list --json cut-add.patch)"
    exit 1
fi
# Names from outside: escaped for the terminal in text, and written so that
# every JSON line is UTF-8 (a byte that is not UTF-8 as \udcHH).
odd=$(printf 'x\033[2Jy\377.patch')
cp example.patch "$odd"
if ! "$apply" --list --json "$odd" | tail -n 1 | grep -qF '{"patch": "x\u001b[2Jy\udcff.patch", "valid": true,' ||
    [ "$("$apply" --list "$odd" | head -n 1)" != 'x\x1b[2Jy\xff.patch:' ]; then
    echo "FAIL: a name with control characters and a byte that is not UTF-8"
    exit 1
fi
echo "format document example: $((10 + listed)) passed, 0 failed"
