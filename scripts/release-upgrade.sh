#!/usr/bin/env bash
# A card's release upgrade, Debian 12 to Debian 13, with the packages of one
# architecture that scripts/build-packages.sh made (amd64, or arm64 under
# qemu-user): in a fresh minimal Debian 12 system with systemd
# (scripts/base-tarball.sh), the +deb12u1 packages (pec-daemon, whose
# postinst enables the unit, and pec-decode) are installed, the system is
# moved to Debian 13 with apt (its sources switched to trixie, apt-get
# full-upgrade), the +deb13u1 packages are installed over the old ones and
# what Debian 12 left that nothing needs any more is removed (apt-get
# autoremove). Then:
#   - the service is still enabled: the link in multi-user.target.wants
#     leads to a unit file that exists, and systemctl is-enabled (offline,
#     in the root) says "enabled";
#   - its unit is where Debian 13 keeps units, /usr/lib/systemd/system,
#     and belongs to the package;
#   - the daemon moved to the new yaml-cpp: the package depends on
#     libyaml-cpp0.8, the daemon's libyaml-cpp.so.0.8 resolves (ldd in the
#     root) and libyaml-cpp0.7 is gone with the autoremove;
#   - pec-decode of the new release is installed and runs.
# No service manager runs in the root, so nothing is started (policy-rc.d
# refuses it as well); the boot test runs the package under systemd.
#
#   scripts/release-upgrade.sh [DEB_DIR [ARCH]]   default: build-deb amd64
#
# The downloads (about 50 MB) are kept for the next run in
# PEC_ROOT_CACHE (default /var/cache/pec-roots)/release-upgrade-ARCH.archives.
# Run as root.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
from=bookworm from_suffix=+deb12u1 to=trixie to_suffix=+deb13u1

# in_root DIR COMMAND...: COMMAND in the root, without questions.
in_root() {
    local dir=$1
    shift
    chroot "$dir" env DEBIAN_FRONTEND=noninteractive "$@"
}

# apt_step DIR TITLE APT-GET-ARGUMENT...: one apt-get run in the root, its
# output in the root's /root/TITLE.log, its time printed.
apt_step() {
    local dir=$1 title=$2 start=$SECONDS
    shift 2
    in_root "$dir" apt-get -y -o Dpkg::Options::=--force-confdef -o Dpkg::Options::=--force-confold \
        "$@" >"$dir/root/$title.log" 2>&1 || { tail -n 30 "$dir/root/$title.log" >&2; return 1; }
    echo "release-upgrade: $title took $((SECONDS - start)) s"
}

# check WHAT COMMAND...: one outcome; a failure names it and counts.
failures=0
check() {
    local what=$1
    shift
    if "$@"; then
        echo "release-upgrade: ok: $what"
    else
        echo "release-upgrade: FAILED: $what" >&2
        failures=$((failures + 1))
    fi
}

# The checks of the upgraded root DIR, with the package of version VERSION.
unit_link=/etc/systemd/system/multi-user.target.wants/pec-daemon.service
unit_file=/usr/lib/systemd/system/pec-daemon.service
is_enabled() { [[ "$(in_root "$1" systemctl is-enabled pec-daemon.service)" == enabled ]]; }
link_resolves() { [[ -L "$1$unit_link" ]] && in_root "$1" test -f "$unit_link"; }
unit_owned() { [[ "$(in_root "$1" dpkg-query -S "$unit_file")" == "pec-daemon: $unit_file" ]]; }
version_installed() {
    [[ "$(in_root "$1" dpkg-query -W -f '${Status} ${Version}' "$3")" == "install ok installed $2" ]]
}
decoder_runs() { in_root "$1" pec-decode --help >/dev/null; }
# The decoder's package beside a daemon's package.
decode_of() { echo "${1%/*}/$(basename "${1/pec-daemon_/pec-decode_}")"; }
depends_on_new_yaml() { in_root "$1" dpkg-query -W -f '${Depends}' pec-daemon | grep -q 'libyaml-cpp0\.8\b'; }
resolves_new_yaml() {
    local libraries
    libraries=$(in_root "$1" ldd /usr/sbin/pec-daemon)
    grep -q 'libyaml-cpp\.so\.0\.8 => /' <<<"$libraries" && ! grep -q 'not found' <<<"$libraries"
}
old_yaml_gone() { ! in_root "$1" dpkg-query -W -f '${Status}' libyaml-cpp0.7 2>/dev/null | grep -q installed; }
is_new_release() { grep -qx 'VERSION_ID="13"' "$1/usr/lib/os-release"; }

# upgrade DIR TARBALL ARCHIVES OLD_DEB NEW_DEB TO_SOURCES: the whole
# upgrade in a mount namespace of its own, in a root unpacked from TARBALL
# into a tmpfs on DIR (no disk work to make or remove it; it vanishes with
# the namespace, with every other mount), the downloads in ARCHIVES.
upgrade() {
    local dir=$1 tarball=$2 archives=$3 old_deb=$4 new_deb=$5 to_sources=$6
    mount -t tmpfs -o size=4g tmpfs "$dir"
    tar -C "$dir" -xzf "$tarball"
    mount --rbind /dev "$dir/dev"
    mount -t proc proc "$dir/proc"
    mount -t tmpfs -o mode=1777 tmpfs "$dir/tmp"
    mount -t tmpfs -o mode=0755 tmpfs "$dir/run"
    mount --bind "$archives" "$dir/var/cache/apt/archives"
    cp -L /etc/resolv.conf "$dir/etc/resolv.conf" 2>/dev/null || true
    printf '#!/bin/sh\nexit 101\n' >"$dir/usr/sbin/policy-rc.d"
    chmod 0755 "$dir/usr/sbin/policy-rc.d"
    local old_decode new_decode
    old_decode=$(decode_of "$old_deb")
    new_decode=$(decode_of "$new_deb")
    cp "$old_deb" "$new_deb" "$old_decode" "$new_decode" "$dir/root/"

    apt_step "$dir" "update-$from" update
    apt_step "$dir" "install-$from_suffix" install --no-install-recommends "/root/${old_deb##*/}" \
        "/root/${old_decode##*/}"
    check "the $from package enables the service" is_enabled "$dir"
    echo "release-upgrade: on $from the unit link leads to $(readlink "$dir$unit_link")"

    cp "$to_sources" "$dir/etc/apt/sources.list"
    apt_step "$dir" "update-$to" update
    apt_step "$dir" "full-upgrade-to-$to" full-upgrade
    apt_step "$dir" "install-$to_suffix" install --no-install-recommends "/root/${new_deb##*/}" \
        "/root/${new_decode##*/}"
    apt_step "$dir" "autoremove" autoremove --purge
    rm "$dir/usr/sbin/policy-rc.d"

    local version
    version=$(dpkg-deb -f "$new_deb" Version)
    check "the system is Debian 13" is_new_release "$dir"
    check "pec-daemon $version is installed" version_installed "$dir" "$version" pec-daemon
    check "pec-decode $version is installed" version_installed "$dir" "$version" pec-decode
    check "pec-decode runs" decoder_runs "$dir"
    check "the service is enabled (systemctl is-enabled)" is_enabled "$dir"
    check "$unit_link leads to a unit file ($(readlink "$dir$unit_link"))" link_resolves "$dir"
    check "$unit_file belongs to pec-daemon" unit_owned "$dir"
    check "pec-daemon depends on libyaml-cpp0.8" depends_on_new_yaml "$dir"
    check "ldd resolves the daemon's libyaml-cpp.so.0.8 and every other library" resolves_new_yaml "$dir"
    check "libyaml-cpp0.7 is removed: nothing needs it" old_yaml_gone "$dir"
    echo "release-upgrade: the upgraded root holds $(du -sxh "$dir" | cut -f1) (tmpfs)"
    ((failures == 0))
}

if [[ "${1:-}" == --in-namespace ]]; then
    shift
    upgrade "$@"
    exit
fi

[[ $(id -u) -eq 0 ]] || { echo "release-upgrade: run as root (chroot, mounts)" >&2; exit 2; }
out=$(cd "${1:-$root/build-deb}" && pwd)
arch=${2:-amd64}
old_deb=$(echo "$out"/pec-daemon_*"$from_suffix"_"$arch".deb)
new_deb=$(echo "$out"/pec-daemon_*"$to_suffix"_"$arch".deb)
for deb in "$old_deb" "$new_deb" "$(decode_of "$old_deb")" "$(decode_of "$new_deb")"; do
    [[ -f "$deb" ]] || { echo "release-upgrade: $deb is missing" >&2; exit 1; }
done
cache=${PEC_ROOT_CACHE:-/var/cache/pec-roots}
archives=$cache/release-upgrade-$arch.archives
mkdir -p "$archives/partial"
# The archive this machine's apt uses, for the new release's sources.
. "$root/scripts/debian-mirrors.sh"

start=$SECONDS
tarball=$("$root/scripts/base-tarball.sh" "$from" "$arch")
dir=$(mktemp -d /var/tmp/pec-release-upgrade.XXXXXX)
debian_sources "$to" >"$dir.sources"
echo "release-upgrade: ${old_deb##*/} on $from, then $to and ${new_deb##*/}"
status=0
unshare --mount --propagation private -- "$0" --in-namespace "$dir" "$tarball" "$archives" \
    "$old_deb" "$new_deb" "$dir.sources" || status=$?
rmdir "$dir"
rm "$dir.sources"
echo "release-upgrade: $((SECONDS - start)) s in all, downloads kept: $(du -sh "$archives" | cut -f1)"
if ((status)); then
    echo "release-upgrade: failed" >&2
    exit 1
fi
echo "release-upgrade: passes"
