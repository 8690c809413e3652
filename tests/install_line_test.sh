#!/usr/bin/env bash
# The README's Quick start installs everything: each package that a test
# script names with need_tool, or that a CMake file asks to install when
# something is missing, is on the test command's install line (the build's
# are on the build command's too), unless Debian installs it everywhere
# (an Essential package, or one of priority required, as debootstrap's
# smallest root holds). A missing package so fails on any machine, not
# only on a fresh one.
# Usage: install_line_test.sh SOURCE_DIR
set -u
src=$(realpath "$1")
# packages MARKER: the packages the README's command after MARKER installs.
packages() {
    sed -n "/^<!-- $1 -->\$/,/^\`\`\`\$/p" "$src/README.md" | sed 's/\\$//' | tr '\n' ' ' |
        grep -oE 'apt-get install -y [^&]*' | sed 's/apt-get install -y//' | tr ' ' '\n' | grep . | sort -u
}
# hinted FILE...: the packages named as "(apt-get install PKG)".
hinted() { grep -ohE '\(apt-get install [a-z0-9.+-]+\)' "$@" | sed -E 's/.* //; s/\)$//' | sort -u; }
essential() { grep -qwE 'yes|required' <(dpkg-query -W -f '${Essential} ${Priority}' "$1" 2>/dev/null); }

passed=0 failed=0
# check WHAT LINE_PACKAGES NEEDED...
check() {
    local what=$1 line=$2 pkg
    shift 2
    for pkg in "$@"; do
        if grep -qx -- "$pkg" <<<"$line" || essential "$pkg"; then
            passed=$((passed + 1))
        else
            failed=$((failed + 1))
            echo "FAIL: $pkg is not on the README's $what command's install line"
        fi
    done
}
build_line=$(packages quick-start-build)
tests_line=$(packages quick-start-tests)
[ -n "$build_line" ] && [ -n "$tests_line" ] || { echo "FAIL: no Quick start command found in README.md"; exit 1; }
mapfile -t build_needs < <(hinted "$src/CMakeLists.txt"; printf '%s\n' cmake g++)
mapfile -t tests_needs < <(
    hinted "$src/tests/CMakeLists.txt"
    sed -nE 's/^[[:space:]]*need_tool [^ ]+ ([a-z0-9.+-]+)$/\1/p' "$src"/tests/*.sh | sort -u
)
check build "$build_line" "${build_needs[@]}"
# The test command stands alone: what the build needs, then the tests' own.
check test "$tests_line" "${build_needs[@]}" "${tests_needs[@]}"
# A test script's need is declared where it is checked: no other way of
# looking for a tool goes unnoticed.
while IFS= read -r line; do
    failed=$((failed + 1))
    echo "FAIL: a tool looked for without need_tool: $line"
done < <(grep -nE 'command -v [a-z]+ .*(not found|exit)' "$src"/tests/*.sh | grep -v 'tests/init.sh')
echo "install line: $passed passed, $failed failed"
[ "$passed" -gt 5 ] && [ "$failed" = 0 ]
