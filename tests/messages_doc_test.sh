#!/usr/bin/env bash
# Every message the programs can print is documented: each fixed piece of
# every message in the sources (the text between its %-conversions, at least
# 12 characters) must stand in the README's table of that program's
# messages and in its man page, as groff renders it.
# Usage: messages_doc_test.sh SOURCE_DIR
set -u
src=$(realpath "$1")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
command -v groff >/dev/null || { echo "skipped: groff not found (apt-get install groff-base)"; exit 77; }

# literals PATTERN FILE... : the string literals of every statement that
# PATTERN starts (a message: say(...), the maker's printf, a manifest's
# `reason = ...`), one per line; not the literals a message is tested with.
literals() {
    local pattern=$1
    shift
    awk -v p="$pattern" '
        $0 ~ p { statement = ""; inside = 1 }
        inside { statement = statement $0 }
        inside && /;[[:space:]]*$/ { print statement; inside = 0 }
    ' "$@" | sed -E 's/rfind\("[^"]*"//g' | grep -oE '"([^"\\]|\\.)*"' | sed 's/^"//; s/"$//'
}
# pieces: each literal cut at its conversions (a PRIu64 leaves a bare %),
# trimmed; the long enough ones.
pieces() {
    sed -E 's/%[-0-9.]*[a-z]?/\n/g' | sed -E 's/^ +//; s/ +$//' | awk 'length($0) >= 12' | sort -u
}
# table HEADING: the README's table whose header row begins with HEADING.
table() { awk -v h="$1" 'index($0, h) == 1 { f = 1 } f && !/^\|/ { exit } f' "$src/README.md" | tr -d '`'; }
render() { groff -man -Tascii -rLL=4000n -P-cbou "$1" 2>/dev/null; }

passed=0 failed=0
# check PROGRAM TABLE_TEXT MAN_TEXT PATTERN SOURCES...
check() {
    local program=$1 table_text=$2 man_text=$3
    shift 3
    while IFS= read -r piece; do
        if ! grep -qF -- "$piece" "$table_text"; then
            failed=$((failed + 1)); echo "FAIL: $program: not in the README's table: '$piece'"
        elif ! grep -qF -- "$piece" "$man_text"; then
            failed=$((failed + 1)); echo "FAIL: $program: not in the man page: '$piece'"
        else
            passed=$((passed + 1))
        fi
    done < <(literals "$@" | pieces)
}
table '| Status | When | Message (after' >"$work/apply-table.txt"
table '| Status | When | Message |' >"$work/maker-table.txt"
render "$src/doc/deltawright-apply.1" >"$work/apply-man.txt"
render "$src/doc/deltawright.1" >"$work/maker-man.txt"
check deltawright-apply "$work/apply-table.txt" "$work/apply-man.txt" '(^|[^_a-z])say\(|reason = ' \
    "$src"/src/app/{run_apply,run_in_place,apply_support,list_patch,manifest,signed_manifest}.cpp "$src/src/verify/signature.cpp"
check deltawright "$work/maker-table.txt" "$work/maker-man.txt" 'std::printf\("Error' \
    "$src/src/app/run_tool.cpp"
echo "messages documented: $passed passed, $failed failed"
[ "$passed" -gt 50 ] && [ "$failed" = 0 ]
