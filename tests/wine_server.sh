#!/usr/bin/env bash
# One wineserver for the whole Windows test run. Each wine process otherwise
# starts a server that exits a few seconds after its last client, and a
# process that connects while it shuts down fails with "wine client error";
# a persistent server started before the first test removes that race.
# "start" also makes a new, empty prefix (WINEPREFIX, which the tests set),
# so that every run begins as on a fresh machine.
# Usage: wine_server.sh start|stop WINESERVER EMULATOR [ARG...]
set -u
action=$1 server=$2
shift 2
: "${WINEPREFIX:?WINEPREFIX must be set}"
export WINEPREFIX
case $action in
start)
    "$server" -k >/dev/null 2>&1  # a server of an earlier, interrupted run
    rm -rf "$WINEPREFIX"
    mkdir -p "$WINEPREFIX"
    # The server goes to the background; it must not hold the test's output open.
    "$server" -p </dev/null >/dev/null 2>&1 || { echo "FAIL: $server -p did not start"; exit 1; }
    # Making the prefix prints wine's set-up messages; they belong to no test.
    "$@" wineboot --init </dev/null >/dev/null 2>&1
    "$@" cmd /c exit 0 </dev/null >/dev/null 2>&1 || { echo "FAIL: wine cannot start a program"; exit 1; }
    echo "wineserver running for $WINEPREFIX"
    ;;
stop)
    "$server" -k
    "$server" -w
    echo "wineserver stopped"
    ;;
*)
    echo "usage: wine_server.sh start|stop WINESERVER EMULATOR [ARG...]"
    exit 2
    ;;
esac
