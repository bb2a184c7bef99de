#!/usr/bin/env bash
# Builds the Debian packages of the daemon: for each Debian release, one for
# amd64 and one for the card (arm64, cross-built against an arm64 sysroot of
# the same release), each with the release's compilers and libraries, from a
# copy of the tree. A release other than this machine's own is built inside
# a root of it (scripts/release-root.sh). The version names the release
# (1.1.2+deb12u1, 1.1.2+deb13u1), so that all packages can sit in OUT_DIR
# together with their .changes and .buildinfo files. Installs what the
# builds need first.
#
#   scripts/build-packages.sh [OUT_DIR]        default: build-deb
#   PEC_PACKAGE_RELEASES="trixie" PEC_PACKAGE_ARCHES="arm64" \
#       scripts/build-packages.sh              some of them
#
# Releases default to "bookworm trixie", architectures to "amd64 arm64".
# PEC_PACKAGE_IN_ROOT=1 builds this machine's own release in a root too.
# Each build works in build-packages.tmp/RELEASE of the tree (a release's
# root sees the tree) and leaves its log in OUT_DIR/build-RELEASE-ARCH.log.
# The arm64 sysroots live in PEC_PKG_CACHE (default /var/cache/pec-pkg) of
# the system that builds, the roots in PEC_ROOT_CACHE (scripts/release-root.sh).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)

# The version suffix of the running system's release: +deb13u1 on Debian 13.
release_suffix() {
    local id version_id
    id=$(. /etc/os-release && echo "${ID:-}")
    version_id=$(. /etc/os-release && echo "${VERSION_ID:-}")
    if [[ "$id" != debian || ! "$version_id" =~ ^[0-9]+$ ]]; then
        echo "build-packages: packages are built for numbered Debian releases, not $id ${version_id:-(unnumbered)}" >&2
        return 1
    fi
    echo "+deb${version_id}u1"
}

# build_here STAGE ARCH...: builds the copies STAGE/ARCH/pec-daemon of the
# tree on this system, for its release; the packages land in STAGE/ARCH.
build_here() {
    local stage=$1
    shift
    local release host_arch suffix extra=(build-essential debhelper) arch
    release=$(. /etc/os-release && echo "$VERSION_CODENAME")
    host_arch=$(dpkg --print-architecture)
    suffix=$(release_suffix)
    for arch in "$@"; do
        [[ "$arch" == "$host_arch" ]] || extra+=("crossbuild-essential-$arch")
    done
    "$root/scripts/install-deps.sh" "${extra[@]}" >"$stage/install-deps.log" 2>&1 ||
        { tail -n 30 "$stage/install-deps.log" >&2; return 1; }
    tail -n 1 "$stage/install-deps.log"

    for arch in "$@"; do
        local tree="$stage/$arch/pec-daemon"
        # The release's own entry on top of the base changelog: its version
        # and distribution name the release; its date is the source's.
        local base version maintainer date
        base=$(dpkg-parsechangelog -l "$tree/debian/changelog" -S Version)
        version="$base$suffix"
        maintainer=$(dpkg-parsechangelog -l "$tree/debian/changelog" -S Maintainer)
        date=$(dpkg-parsechangelog -l "$tree/debian/changelog" -S Timestamp)
        if [[ -n "${PEC_SOURCE_DATE:-}" && "$PEC_SOURCE_DATE" -gt "$date" ]]; then
            date=$PEC_SOURCE_DATE
        else
            date=$((date + 1))
        fi
        {
            echo "pec-daemon ($version) $release; urgency=medium"
            echo
            echo "  * Build for Debian ${suffix:4:-2} ($release)."
            echo
            echo " -- $maintainer  $(LC_ALL=C date -u -R -d "@$date")"
            echo
            cat "$tree/debian/changelog"
        } >"$tree/debian/changelog.new"
        mv "$tree/debian/changelog.new" "$tree/debian/changelog"

        local options=(-b -us -uc -j2)
        echo "build-packages: $version $arch ($release)"
        (
            if [[ "$arch" != "$host_arch" ]]; then
                [[ "$arch" == arm64 ]] || { echo "build-packages: cross builds are set up for arm64 only" >&2; exit 1; }
                # The target's build dependencies are in the sysroot, not installed.
                export PEC_ARM64_SYSROOT
                PEC_ARM64_SYSROOT=$(PEC_SYSROOT_RELEASE=$release "$root/scripts/arm64-sysroot.sh" \
                    "${PEC_PKG_CACHE:-/var/cache/pec-pkg}/arm64-sysroot-$release")
                # The toolchain's compilers; the tests are not built into a package.
                export CC=aarch64-linux-gnu-gcc CXX=aarch64-linux-gnu-g++
                export DEB_BUILD_OPTIONS="nocheck ${DEB_BUILD_OPTIONS:-}"
                options+=(-a"$arch" -d "--build-profiles=cross,nocheck")
            fi
            cd "$tree"
            nice dpkg-buildpackage "${options[@]}"
        ) >"$stage/build-$arch.log" 2>&1 || { tail -n 60 "$stage/build-$arch.log" >&2; return 1; }
    done
}

if [[ "${1:-}" == --here ]]; then
    shift
    build_here "$@"
    exit 0
fi

out=${1:-$root/build-deb}
releases=${PEC_PACKAGE_RELEASES:-bookworm trixie}
arches=${PEC_PACKAGE_ARCHES:-amd64 arm64}
host_release=$(. /etc/os-release && echo "${ID:-}:${VERSION_CODENAME:-}")

# The copy holds what git tracks (and new files not yet added), or, outside
# a git checkout, everything but the build trees; the banner keeps naming
# the commit it came from.
copy_tree() {
    local dest=$1
    mkdir -p "$dest"
    if git -C "$root" rev-parse --verify -q HEAD >/dev/null 2>&1; then
        (cd "$root" && git ls-files -z --cached --others --exclude-standard |
            while IFS= read -r -d '' file; do
                if [[ -f "$file" ]]; then printf '%s\0' "$file"; fi
            done | tar --null -T - -cf -) | tar -C "$dest" -xf -
    else
        tar -C "$root" --exclude='./build' --exclude='./build-*' -cf - . | tar -C "$dest" -xf -
    fi
}
if git -C "$root" rev-parse --verify -q HEAD >/dev/null 2>&1; then
    export PEC_SOURCE_REVISION PEC_SOURCE_DATE
    PEC_SOURCE_REVISION=$(git -C "$root" rev-parse --verify HEAD)
    PEC_SOURCE_DATE=$(git -C "$root" log -1 --format=%ct HEAD)
fi

rm -rf "$out"
mkdir -p "$out"
# The builds work in a folder of the tree, which a release's root sees too.
stages="$root/build-packages.tmp"
for release in $releases; do
    stage="$stages/$release"
    rm -rf "$stage"
    for arch in $arches; do
        copy_tree "$stage/$arch/pec-daemon"
    done
    start=$SECONDS
    # shellcheck disable=SC2086 # lists of architectures
    if [[ "$host_release" == "debian:$release" && -z "${PEC_PACKAGE_IN_ROOT:-}" ]]; then
        echo "build-packages: $release on this machine"
        build_here "$stage" $arches
    else
        echo "build-packages: $release in its root (scripts/release-root.sh)"
        "$root/scripts/in-release-root.sh" "$release" "$root/scripts/build-packages.sh" --here "$stage" $arches
    fi
    for arch in $arches; do
        mv "$stage/$arch"/*.deb "$stage/$arch"/*.changes "$stage/$arch"/*.buildinfo "$out/"
        mv "$stage/build-$arch.log" "$out/build-$release-$arch.log"
    done
    rm -rf "$stage"
    echo "build-packages: $release took $((SECONDS - start)) s"
done
rmdir "$stages" 2>/dev/null || true
ls -l "$out"/*.deb
