#!/usr/bin/env bash
# Makes the arm64 sysroot that the cross-build compiles against and that
# qemu-aarch64 runs the arm64 programs with: Debian's arm64 packages of the
# libraries the daemon and the tests use, unpacked into one directory. The
# host's own package database is left alone (the -dev packages of yaml-cpp
# cannot be installed for two architectures at once): the package lists and
# downloads go through a private apt state of their own.
#
#   scripts/arm64-sysroot.sh [DIR]     prints DIR when it is ready
#
# DIR defaults to $PEC_ARM64_SYSROOT, else /var/cache/pec-pkg/arm64-sysroot.
# A sysroot that is complete (its stamp names the same package list) is
# reused as it is; delete it to make it anew.
#
# DIR/DEBIAN holds the libraries' shlibs and symbols files, so that
# dpkg-shlibdeps (given -l DIR/lib/aarch64-linux-gnu ...) derives a
# cross-built package's dependencies from them.
set -euo pipefail

sysroot=${1:-${PEC_ARM64_SYSROOT:-/var/cache/pec-pkg/arm64-sysroot}}

# Run time: the C and C++ runtimes and yaml-cpp. Build time: yaml-cpp and
# GoogleTest (headers, CMake packages, static libraries).
packages=(libc6 libgcc-s1 libstdc++6 libyaml-cpp0.7 libyaml-cpp-dev libgtest-dev libgmock-dev)
stamp="$sysroot/.pec-sysroot"

# One maker at a time; a second caller waits and then finds it ready.
mkdir -p "$(dirname "$sysroot")"
exec 9>"$sysroot.lock"
flock 9
if [[ -f "$stamp" && "$(head -n 1 "$stamp")" == "${packages[*]}" ]]; then
    echo "$sysroot"
    exit 0
fi

# The private apt state lives beside the sysroot, so that a rerun finds its
# lists and downloads there.
state="$sysroot.apt"
mkdir -p "$state/lists/partial" "$state/archives/partial" "$state/debs"
touch "$state/status"
apt_options=(
    -o "Dir::State=$state" -o "Dir::State::Lists=$state/lists"
    -o "Dir::State::status=$state/status" -o "Dir::Cache=$state"
    -o "Dir::Cache::archives=$state/archives"
    -o "APT::Architecture=arm64" -o "APT::Architectures::=arm64"
    -o "Debug::NoLocking=1" -o "Acquire::Languages=none" -o "APT::Sandbox::User=root"
)
echo "arm64-sysroot: fetching the arm64 package lists" >&2
apt-get "${apt_options[@]}" -qq update >&2

rm -f "$state/debs/"*.deb
(cd "$state/debs" && apt-get "${apt_options[@]}" -qq download "${packages[@]/%/:arm64}") >&2

rm -rf "$sysroot"
mkdir -p "$sysroot/DEBIAN"
versions=()
for deb in "$state/debs/"*.deb; do
    dpkg-deb -x "$deb" "$sysroot"
    control=$(mktemp -d)
    dpkg-deb -e "$deb" "$control"
    for kind in shlibs symbols; do
        if [[ -f "$control/$kind" ]]; then
            cat "$control/$kind" >>"$sysroot/DEBIAN/$kind"
        fi
    done
    rm -rf "$control"
    versions+=("$(dpkg-deb -f "$deb" Package) $(dpkg-deb -f "$deb" Version)")
done
{
    echo "${packages[*]}"
    printf '%s\n' "${versions[@]}"
} >"$stamp"
echo "arm64-sysroot: ${#versions[@]} packages unpacked into $sysroot" >&2
echo "$sysroot"
