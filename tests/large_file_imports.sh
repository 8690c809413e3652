#!/usr/bin/env bash
# A 32-bit build without large-file support opens and examines files with the
# 32-bit calls and cannot read past 2 GiB; an emulator on a 64-bit kernel
# would hide it. The programs' own code must call only the 64-bit ones: the
# maker as linked, and the applier's own objects, since the static libgcrypt
# it links here was built without large-file support (it opens only small
# files of its own, never the user's).
# Usage: large_file_imports.sh NM MAKER OBJECT_OR_ARCHIVE...
set -u
nm=$1 maker=$2
shift 2
# check FLAGS FILE...: the calls FILE... import, together.
check() {
    local flags=$1 all
    shift
    all=$(for f in "$@"; do "$nm" $flags --undefined-only "$f" || exit 1; done | sed 's/@.*//; s/.* //') || return 1
    grep -qx open64 <<<"$all" || { echo "FAIL: no open64 imported by $*"; return 1; }
    for call in open openat fopen stat fstat ftruncate lseek pread pwrite; do
        if grep -qx "$call" <<<"$all"; then
            echo "FAIL: $call imported by one of $*"
            return 1
        fi
    done
}
check -D "$maker" && check "" "$@" && echo "large-file imports: only the 64-bit calls"
