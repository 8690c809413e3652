# Sourced by the test scripts: what they share.
#
# need_tool TOOL PACKAGE: the script needs TOOL, which Debian's PACKAGE
# installs. Without it the test is skipped (status 77, which CTest lists as
# skipped) and says what to install. install_line_test.sh holds the README's
# test command to installing every PACKAGE named so.
need_tool() {
    command -v "$1" >/dev/null && return
    echo "skipped: $1 not found (apt-get install $2)"
    exit 77
}
