#!/usr/bin/env bash
# Makes the arm64 sysroot that the cross-build compiles against and that
# qemu-aarch64 runs the arm64 programs with: Debian's arm64 packages of the
# libraries the daemon and the tests use, of one Debian release, unpacked
# into one directory. The host's own package database is left alone (the
# -dev packages of yaml-cpp cannot be installed for two architectures at
# once): the package lists and downloads go through a private apt state with
# sources of its own, the release's from the Debian archive that this
# machine's apt uses (scripts/debian-mirrors.sh).
#
#   scripts/arm64-sysroot.sh [DIR]     prints DIR when it is ready
#
# PEC_SYSROOT_RELEASE names the release (default: the running system's, e.g.
# bookworm or trixie); PEC_DEBIAN_MIRROR the archive (default: this
# machine's). DIR defaults to $PEC_ARM64_SYSROOT, else
# /var/cache/pec-pkg/arm64-sysroot-RELEASE. A sysroot that is complete (its
# stamp names the same release and package list) is reused as it is; delete
# it to make it anew.
#
# DIR/DEBIAN holds the libraries' shlibs and symbols files, so that
# dpkg-shlibdeps (given -l DIR/lib/aarch64-linux-gnu ...) derives a
# cross-built package's dependencies from them.
set -euo pipefail

release=${PEC_SYSROOT_RELEASE:-$(. /etc/os-release && echo "${VERSION_CODENAME:-}")}
[[ -n "$release" ]] || { echo "arm64-sysroot: set PEC_SYSROOT_RELEASE (no VERSION_CODENAME here)" >&2; exit 2; }
. "$(dirname "$0")/debian-mirrors.sh"
sysroot=${1:-${PEC_ARM64_SYSROOT:-/var/cache/pec-pkg/arm64-sysroot-$release}}

# Run time: the C and C++ runtimes and yaml-cpp (whose library package is
# named after its ABI, so it is found below from what libyaml-cpp-dev
# needs). Build time: yaml-cpp and GoogleTest (headers, CMake packages,
# static libraries).
packages=(libc6 libgcc-s1 libstdc++6 libyaml-cpp-dev libgtest-dev libgmock-dev)
stamp="$sysroot/.pec-sysroot"

# One maker at a time; a second caller waits and then finds it ready.
mkdir -p "$(dirname "$sysroot")"
exec 9>"$sysroot.lock"
flock 9
if [[ -f "$stamp" && "$(head -n 1 "$stamp")" == "$release ${packages[*]}" ]]; then
    echo "$sysroot"
    exit 0
fi

# The private apt state lives beside the sysroot, so that a rerun finds its
# lists and downloads there.
state="$sysroot.apt"
mkdir -p "$state/lists/partial" "$state/archives/partial" "$state/debs" "$state/sources.list.d"
touch "$state/status"
keyring=/usr/share/keyrings/debian-archive-keyring.gpg
[[ -f "$keyring" ]] || { echo "arm64-sysroot: $keyring is missing (debian-archive-keyring)" >&2; exit 2; }
debian_sources "$release" | sed "s|^deb |deb [arch=arm64 signed-by=$keyring] |" >"$state/sources.list"
apt_options=(
    -o "Dir::State=$state" -o "Dir::State::Lists=$state/lists"
    -o "Dir::State::status=$state/status" -o "Dir::Cache=$state"
    -o "Dir::Cache::archives=$state/archives"
    -o "Dir::Etc::SourceList=$state/sources.list" -o "Dir::Etc::SourceParts=$state/sources.list.d"
    -o "APT::Architecture=arm64" -o "APT::Architectures::=arm64"
    -o "Debug::NoLocking=1" -o "Acquire::Languages=none" -o "APT::Sandbox::User=root"
    -o "Acquire::Retries=3"
)
echo "arm64-sysroot: fetching the arm64 package lists of $release" >&2
apt-get "${apt_options[@]}" -qq update >&2

# libyaml-cpp0.7 on Debian 12, libyaml-cpp0.8 on Debian 13.
yaml_runtime=$(apt-cache "${apt_options[@]}" depends libyaml-cpp-dev:arm64 |
    sed -n 's/^ *Depends: \(libyaml-cpp[0-9][^: ]*\).*/\1/p' | head -n 1)
[[ -n "$yaml_runtime" ]] || { echo "arm64-sysroot: libyaml-cpp-dev of $release names no libyaml-cpp library" >&2; exit 1; }

rm -f "$state/debs/"*.deb
all=("${packages[@]}" "$yaml_runtime")
(cd "$state/debs" && apt-get "${apt_options[@]}" -qq download "${all[@]/%/:arm64}") >&2

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
    echo "$release ${packages[*]}"
    printf '%s\n' "${versions[@]}"
} >"$stamp"
echo "arm64-sysroot: ${#versions[@]} packages of $release unpacked into $sysroot" >&2
echo "$sysroot"
