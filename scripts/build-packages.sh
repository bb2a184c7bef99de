#!/usr/bin/env bash
# Builds the Debian packages of the daemon, for this machine (amd64) and for
# the card (arm64, cross-built with the libraries of the arm64 sysroot), from
# a copy of the tree, and puts them with their .changes and .buildinfo files
# into OUT_DIR. Installs what the builds need first.
#
#   scripts/build-packages.sh [OUT_DIR]        default: build-deb
#   PEC_PACKAGE_ARCHES="arm64" scripts/build-packages.sh    one of them
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-$root/build-deb}
arches=${PEC_PACKAGE_ARCHES:-amd64 arm64}
host_arch=$(dpkg --print-architecture)

extra=(debhelper lintian)
for arch in $arches; do
    if [[ "$arch" != "$host_arch" ]]; then
        extra+=(crossbuild-essential-arm64)
    fi
done
"$root/scripts/install-deps.sh" "${extra[@]}"

# The copy holds what git tracks (and new files not yet added), or, outside
# a git checkout, everything but the build trees; the banner keeps naming
# the commit it came from.
copy_tree() {
    local dest=$1
    mkdir -p "$dest"
    if git -C "$root" rev-parse --verify -q HEAD >/dev/null 2>&1; then
        export PEC_SOURCE_REVISION
        PEC_SOURCE_REVISION=$(git -C "$root" rev-parse --verify HEAD)
        (cd "$root" && git ls-files -z --cached --others --exclude-standard |
            while IFS= read -r -d '' file; do
                if [[ -f "$file" ]]; then printf '%s\0' "$file"; fi
            done | tar --null -T - -cf -) | tar -C "$dest" -xf -
    else
        tar -C "$root" --exclude='./build' --exclude='./build-*' -cf - . | tar -C "$dest" -xf -
    fi
}

rm -rf "$out"
mkdir -p "$out"
version=$(dpkg-parsechangelog -l "$root/debian/changelog" -S Version)
for arch in $arches; do
    work="$out/work-$arch"
    copy_tree "$work/pec-daemon-$version"
    options=(-b -us -uc -j"$(nproc)")
    if [[ "$arch" != "$host_arch" ]]; then
        # The target's build dependencies are in the sysroot, not installed.
        export PEC_ARM64_SYSROOT
        PEC_ARM64_SYSROOT=$("$root/scripts/arm64-sysroot.sh")
        # The toolchain's compilers; the tests are not built into a package.
        export CC=aarch64-linux-gnu-gcc CXX=aarch64-linux-gnu-g++
        export DEB_BUILD_OPTIONS="nocheck ${DEB_BUILD_OPTIONS:-}"
        options+=(-a"$arch" -d "--build-profiles=cross,nocheck")
    fi
    echo "build-packages: $arch"
    (cd "$work/pec-daemon-$version" && dpkg-buildpackage "${options[@]}") >"$out/build-$arch.log" 2>&1 ||
        { tail -n 60 "$out/build-$arch.log" >&2; exit 1; }
    mv "$work"/*.deb "$work"/*.changes "$work"/*.buildinfo "$out/"
    rm -rf "$work"
done
ls -l "$out"/*.deb
