#!/usr/bin/env bash
# Every message the programs can print is documented: each fixed piece of
# every message in the sources (the text between its %-conversions, at least
# 12 characters) must stand in its program's man page, as groff renders it.
# And every message the README and the guide quote is one the programs
# print.
# Usage: messages_doc_test.sh SOURCE_DIR
set -u
src=$(realpath "$1")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# shellcheck source=init.sh
. "$(dirname "$0")/init.sh"
need_tool groff groff-base

# statements PATTERN FILE...: every statement that PATTERN starts (a
# message: say(...), the maker's printf, a manifest's `reason = ...`), one
# per line, without the literals a message is tested with (rfind).
statements() {
    local pattern=$1
    shift
    awk -v p="$pattern" '
        $0 ~ p { statement = ""; inside = 1 }
        inside { statement = statement $0 }
        inside && /;[[:space:]]*$/ { print statement; inside = 0 }
    ' "$@" | sed -E 's/rfind\("[^"]*"//g'
}
# literals PATTERN FILE...: the string literals of those statements, one per line.
literals() { statements "$@" | grep -oE '"([^"\\]|\\.)*"' | sed 's/^"//; s/"$//'; }
# pieces: each literal cut at its conversions (a PRIu64 leaves a bare %),
# trimmed; the long enough ones.
pieces() {
    sed -E 's/%[-0-9.]*[a-z]?/\n/g' | sed -E 's/^ +//; s/ +$//' | awk 'length($0) >= 12' | sort -u
}
render() { groff -man -Tascii -rLL=4000n -P-cbou "$1" 2>/dev/null; }

passed=0 failed=0
# check PROGRAM MAN_TEXT PIECES: every piece stands in the man page.
check() {
    local program=$1 man_text=$2 piece
    while IFS= read -r piece; do
        if grep -qF -- "$piece" "$man_text"; then
            passed=$((passed + 1))
        else
            failed=$((failed + 1)); echo "FAIL: $program: not in the man page: '$piece'"
        fi
    done <"$3"
}
# quoted PREFIX FILE...: the messages the documents quote, in backticks,
# beginning with PREFIX (the program's prefix, removed: `deltawright-apply: `).
quoted() {
    local prefix=$1
    shift
    grep -ohE "\`$prefix[^\`]+\`" "$@" | sed "s/^\`//; s/\`\$//; s/^deltawright-apply: //" | sort -u
}
# formats PATTERN FILE...: the format string of each of those statements,
# as an extended regular expression of the messages it prints (each
# conversion matches any text).
formats() {
    statements "$@" | awk '
        {   # from the first literal: literals and macro names up to a comma
            at = index($0, "\""); f = ""; quoted = 0
            for (k = at; k <= length($0); ++k) {
                c = substr($0, k, 1)
                if (quoted) {
                    if (c == "\\") { f = f substr($0, k, 2); ++k }
                    else if (c == "\"") quoted = 0
                    else f = f c
                } else if (c == "\"") quoted = 1
                else if (c == "," || c == ")" || c == ";") break
                else if (c ~ /[A-Za-z]/) { f = f "d"; while (substr($0, k + 1, 1) ~ /[A-Za-z0-9_]/) ++k }
            }
            gsub(/[].[()*+?{}|^$\\]/, "\\\\&", f)
            gsub(/%[-0-9.]*l*[a-z]/, "\x01", f)
            n = split(f, parts, "\x01"); r = parts[1]
            for (k = 2; k <= n; ++k) r = r ".+" parts[k]
            t = r; gsub(/\.\+/, "", t)
            if (t ~ /[A-Za-z][A-Za-z][A-Za-z]/) print "^" r "$"  # not one that matches any text
        }'
}
# check_quotes PROGRAM FORMATS QUOTES: each quoted message is one the
# program prints.
check_quotes() {
    local quote
    while IFS= read -r quote; do
        if grep -qEf "$2" <<<"$quote"; then
            passed=$((passed + 1))
        else
            failed=$((failed + 1)); echo "FAIL: $1: a quoted message it does not print: '$quote'"
        fi
    done <"$3"
}
literals '(^|[^_a-z])say\(|reason = ' "$src"/src/app/{run_apply,run_in_place,apply_support,list_patch,manifest,signed_manifest}.cpp \
    "$src/src/verify/signature.cpp" | pieces >"$work/apply-pieces.txt"
literals 'std::printf\("Error' "$src/src/app/run_tool.cpp" | pieces >"$work/maker-pieces.txt"
render "$src/doc/deltawright-apply.1" >"$work/apply-man.txt"
render "$src/doc/deltawright.1" >"$work/maker-man.txt"
check deltawright-apply "$work/apply-man.txt" "$work/apply-pieces.txt"
check deltawright "$work/maker-man.txt" "$work/maker-pieces.txt"
quoted 'deltawright-apply: ' "$src/README.md" "$src/doc/guide.md" >"$work/apply-quotes.txt"
quoted 'Error ' "$src/README.md" "$src/doc/guide.md" >"$work/maker-quotes.txt"
formats '(^|[^_a-z])say\(' "$src"/src/app/*.cpp >"$work/apply-formats.txt"
formats 'std::printf\("Error' "$src/src/app/run_tool.cpp" >"$work/maker-formats.txt"
check_quotes deltawright-apply "$work/apply-formats.txt" "$work/apply-quotes.txt"
check_quotes deltawright "$work/maker-formats.txt" "$work/maker-quotes.txt"
echo "messages documented: $passed passed, $failed failed"
[ "$passed" -gt 50 ] && [ -s "$work/apply-quotes.txt" ] && [ "$failed" = 0 ]
