#!/usr/bin/env bash
# Unpacks Debian's -dev packages of another architecture into a folder of the
# build's own, for a cross build to link against: DEST/usr/include and
# DEST/usr/lib/MULTIARCH. They are unpacked rather than installed because
# such packages conflict with the host's own (libgcrypt20-dev does).
# apt must know the architecture: dpkg --add-architecture ARCH; apt-get update.
# Usage: debian_packages.sh ARCH DEST PACKAGE...
set -euo pipefail
arch=$1 dest=$2
shift 2
stamp="$dest/unpacked-$arch-$(echo "$@" | tr ' ' '+')"
[ -e "$stamp" ] && exit 0
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
packages=()
for p in "$@"; do packages+=("$p:$arch"); done
if ! (cd "$work" && apt-get -q -o APT::Sandbox::User=root download "${packages[@]}"); then
    echo "cannot download ${packages[*]}: add the architecture first" \
        "(dpkg --add-architecture $arch && apt-get update)" >&2
    exit 1
fi
rm -rf "$dest"
mkdir -p "$dest"
for deb in "$work"/*.deb; do
    dpkg-deb -x "$deb" "$dest"
done
touch "$stamp"
