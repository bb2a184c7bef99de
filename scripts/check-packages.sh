#!/usr/bin/env bash
# Checks the packages that scripts/build-packages.sh made: lintian finds no
# error or warning; each package holds the daemon, its unit and its docs and
# nothing else (no test or bench file); its control fields name the package,
# the architecture, the daemon's own version and the dependencies; the daemon
# is built for the package's CPU; the unit passes systemd-analyze verify, and
# its exposure (systemd-analyze security) is printed.
#
#   scripts/check-packages.sh [OUT_DIR]        default: build-deb
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-$root/build-deb}
failures=0

"$root/scripts/install-deps.sh" lintian systemd

fail() {
    echo "check-packages: $*" >&2
    failures=$((failures + 1))
}

# The version the daemon's banner names ("v1.1.2") is the package's.
daemon_version=$(sed -n 's/^const char\* const version = "v\(.*\)";$/\1/p' "$root/src/config.cpp")

expected_files="./lib/systemd/system/pec-daemon.service
./usr/sbin/pec-daemon
./usr/share/doc/pec-daemon/README.md.gz
./usr/share/doc/pec-daemon/changelog.gz
./usr/share/doc/pec-daemon/copyright
./usr/share/lintian/overrides/pec-daemon
./usr/share/man/man8/pec-daemon.8.gz"

check_package() {
    local deb=$1 arch=$2 machine=$3
    local tree
    tree=$(mktemp -d)
    dpkg-deb -x "$deb" "$tree"
    dpkg-deb -e "$deb" "$tree/DEBIAN"

    local files
    files=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $6 }' | sort)
    [[ "$files" == "$expected_files" ]] ||
        fail "$deb holds other files than the daemon, its unit and its docs:
$(diff <(echo "$expected_files") <(echo "$files") || true)"

    local field
    field=$(dpkg-deb -f "$deb" Package)
    [[ "$field" == pec-daemon ]] || fail "$deb: Package is $field"
    field=$(dpkg-deb -f "$deb" Architecture)
    [[ "$field" == "$arch" ]] || fail "$deb: Architecture is $field, not $arch"
    field=$(dpkg-deb -f "$deb" Version)
    [[ "$field" == "$daemon_version" ]] || fail "$deb: Version $field, the daemon's is $daemon_version"
    field=$(dpkg-deb -f "$deb" Recommends)
    [[ "$field" == "netplan.io | network-manager | ifupdown" ]] || fail "$deb: Recommends is $field"
    # The libraries it links (from shlibdeps) and the programs it runs.
    local depends package
    depends=",$(dpkg-deb -f "$deb" Depends | tr -d ' '),"
    for package in libc6 libstdc++6 libyaml-cpp0.7 bash util-linux procps hostname systemd; do
        [[ "$depends" == *",$package,"* || "$depends" == *",$package("* ]] ||
            fail "$deb: Depends lacks $package: $depends"
    done
    field=$(readelf -h "$tree/usr/sbin/pec-daemon" | sed -n 's/^ *Machine: *//p')
    [[ "$field" == "$machine" ]] || fail "$deb: the daemon is built for $field, not $machine"
    grep -q 'deb-systemd-helper enable .pec-daemon.service' "$tree/DEBIAN/postinst" ||
        fail "$deb: its postinst does not enable pec-daemon.service"

    # verify reports problems on its output (an unknown key only warns), and
    # needs the system's units and the daemon in one root.
    cp -rn /lib/systemd/system/. "$tree/lib/systemd/system/"
    local verify
    if ! verify=$(systemd-analyze verify --man=no --root="$tree" pec-daemon.service 2>&1) ||
        [[ -n "$verify" ]]; then
        fail "$deb: systemd-analyze verify: $verify"
    fi
    rm -rf "$tree"
}

echo "check-packages: lintian"
lintian --fail-on error,warning "$out"/pec-daemon_*.changes || fail "lintian"
for arch in amd64 arm64; do
    case $arch in
    amd64) machine="Advanced Micro Devices X86-64" ;;
    arm64) machine="AArch64" ;;
    esac
    deb=$(ls "$out"/pec-daemon_*_"$arch".deb)
    echo "check-packages: $deb"
    check_package "$deb" "$arch" "$machine"
done
systemd-analyze security --offline=true "$root/debian/pec-daemon.service" | tail -n 1
if [[ $failures -gt 0 ]]; then
    echo "check-packages: $failures checks failed" >&2
    exit 1
fi
echo "check-packages: both packages pass"
