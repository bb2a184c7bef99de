#!/usr/bin/env bash
# Runs piuparts, Debian's tester of a package's installation, upgrade,
# removal and purge, on the amd64 packages (and on request the arm64
# packages, under qemu-user) of each release that scripts/build-packages.sh
# made, pec-daemon and pec-decode together. One piuparts run a release, in
# a fresh chroot unpacked from a minimal root of the release
# (scripts/base-tarball.sh):
#   - install and purge: both packages and their dependencies installed,
#     then purged; no file left behind, changed or removed;
#   - upgrade: the previous pec-daemon, which still held pec-decode's files,
#     installed with apt, both packages installed over it (pec-decode takes
#     its files over), then all of it purged, with the same checks.
# piuparts' own policy-rc.d (exit 101) stands in for the service manager:
# the postinst enables the unit with deb-systemd-helper and
# deb-systemd-invoke is refused the start, as in any chroot.
#
#   scripts/piuparts.sh [DEB_DIR]              default: build-deb
#
# PEC_PACKAGE_RELEASES ("bookworm trixie") picks the releases,
# PEC_LIFECYCLE_ARCHES ("amd64"; "amd64 arm64") the architectures. Each
# run's log stays in DEB_DIR/piuparts-RELEASE-ARCH.log.
#
# The previous version is this very package with a lower version in its
# control file (1.1.2.0+deb12u1 beside 1.1.2.1+deb12u1) and the files the
# daemon's package held before pec-decode had a package of its own (the
# decoder, its man page and the modules-load.d file that loaded i2c-dev),
# not a second build: its maintainer scripts are these same debhelper
# scripts. What the upgrade exercises is then the real upgrade path: the old
# prerm and postrm called with "upgrade", the new postinst with the old
# version (the unit enabled again, its restart refused by policy-rc.d), the
# decoder's files taken over by pec-decode (Replaces) and the module file
# removed with the old package. The repacked package reaches the chroot
# through a local archive of one package, bind-mounted.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
out=$(cd "${1:-$root/build-deb}" && pwd)
releases=${PEC_PACKAGE_RELEASES:-bookworm trixie}
arches=${PEC_LIFECYCLE_ARCHES:-amd64}

[[ $(id -u) -eq 0 ]] || { echo "piuparts: run as root (chroots)" >&2; exit 2; }
"$root/scripts/install-deps.sh" piuparts mmdebstrap dpkg-dev >/dev/null
# The archive this machine's apt uses; piuparts' default names another.
. "$root/scripts/debian-mirrors.sh"

# previous_version VERSION: the version below VERSION's upstream part,
# same suffix: 1.1.2.1+deb12u1 gives 1.1.2.0+deb12u1 (1.2.0 gives 1.2.0~1).
previous_version() {
    local version=$1 base suffix last
    base=${version%%+*}
    suffix=${version#"$base"}
    last=${base##*.}
    if [[ "$last" =~ ^[1-9][0-9]*$ ]]; then
        echo "${base%.*}.$((last - 1))$suffix"
    else
        echo "$base~1$suffix"
    fi
}

# previous_archive DEB DECODE DIR: DIR becomes a flat apt archive holding
# DEB repacked with the previous version and the files of the package
# before the split: DECODE's program and man page, the module file.
previous_archive() {
    local deb=$1 decode=$2 dir=$3 version previous arch
    version=$(dpkg-deb -f "$deb" Version)
    previous=$(previous_version "$version")
    arch=$(dpkg-deb -f "$deb" Architecture)
    dpkg --compare-versions "$previous" lt "$version"
    mkdir -p "$dir/tree" "$dir/decode"
    dpkg-deb -R "$deb" "$dir/tree"
    dpkg-deb -x "$decode" "$dir/decode"
    install -D -m 0755 "$dir/decode/usr/bin/pec-decode" "$dir/tree/usr/bin/pec-decode"
    install -D -m 0644 "$dir/decode/usr/share/man/man1/pec-decode.1.gz" "$dir/tree/usr/share/man/man1/pec-decode.1.gz"
    install -D -m 0644 /dev/stdin "$dir/tree/usr/lib/modules-load.d/pec-daemon.conf" <<<"i2c-dev"
    rm -rf "$dir/decode"
    sed -i "s/^Version: .*/Version: $previous/" "$dir/tree/DEBIAN/control"
    dpkg-deb --root-owner-group -b "$dir/tree" "$dir/pec-daemon_${previous}_$arch.deb" >/dev/null
    rm -rf "$dir/tree"
    (cd "$dir" && dpkg-scanpackages --multiversion . /dev/null >Packages 2>/dev/null)
    echo "piuparts: previous version $previous (the same files and pec-decode's, repacked)"
}

# run_piuparts RELEASE ARCH TARBALL DEB DECODE: both tests of DEB and
# DECODE in chroots of RELEASE for ARCH unpacked from TARBALL.
run_piuparts() {
    local release=$1 arch=$2 tarball=$3 deb=$4 decode=$5
    local work log="$out/piuparts-$release-$arch.log"
    work=$(mktemp -d /var/tmp/pec-piuparts.XXXXXX)
    mkdir "$work/chroots"
    previous_archive "$deb" "$decode" "$work/archive"
    # The release itself through --mirror (main only), its updates and
    # security sources and the archive of the previous version as extra
    # lines of sources.list.
    local sources mirror mirror_options=() line
    mapfile -t sources < <(debian_sources "$release")
    read -r _ mirror _ <<<"${sources[0]}"
    mirror_options+=("--mirror=$mirror main")
    for line in "${sources[@]:1}"; do
        mirror_options+=("--extra-repo=$line")
    done
    mirror_options+=("--extra-repo=deb [trusted=yes] file://$work/archive ./" "--bindmount=$work/archive")

    echo "piuparts: ${deb##*/} and ${decode##*/} on $release (install and purge, upgrade from the previous version)"
    local start=$SECONDS status=0
    rm -f "$log"
    # The chroots live in a tmpfs of a mount namespace of their own: their
    # unpacking and removal are then no disk work. Leftovers of other
    # packages than the one tested are warnings (--warn-on-others); the
    # package has no logrotate or cron files to run.
    unshare --mount --propagation private -- bash -c 'mount -t tmpfs -o size=4g tmpfs "$1" && shift && exec "$@"' \
        piuparts-chroots "$work/chroots" \
        piuparts --arch="$arch" --basetgz="$tarball" --distribution="$release" "${mirror_options[@]}" \
        --tmpdir="$work/chroots" --warn-on-others --skip-logrotatefiles-test --skip-cronfiles-test \
        --log-file="$log" "$deb" "$decode" >/dev/null 2>&1 || status=$?
    grep -E '(PASS|FAIL): ' "$log" | sed 's/^/piuparts: /'
    if ((status)); then
        grep -E 'ERROR|FAIL' "$log" | tail -n 30 >&2
        echo "piuparts: $release $arch failed after $((SECONDS - start)) s (log: $log)" >&2
    else
        echo "piuparts: $release $arch passed in $((SECONDS - start)) s"
    fi
    rm -rf "$work"
    return "$status"
}

failures=0
for release in $releases; do
    for arch in $arches; do
        tarball=$("$root/scripts/base-tarball.sh" "$release" "$arch")
        version_id=$(tar -xzOf "$tarball" ./usr/lib/os-release |
            sed -n 's/^VERSION_ID="\?\([^"]*\)"\?$/\1/p')
        debs=("$out"/pec-daemon_*+deb"${version_id}"u1_"$arch".deb)
        decode=${debs[0]/\/pec-daemon_//pec-decode_}
        if [[ ! -f "${debs[0]}" || ! -f "$decode" ]]; then
            echo "piuparts: no $arch packages for $release (+deb${version_id}u1) in $out" >&2
            failures=$((failures + 1))
            continue
        fi
        run_piuparts "$release" "$arch" "$tarball" "${debs[0]}" "$decode" || failures=$((failures + 1))
    done
done
((failures == 0)) || { echo "piuparts: $failures runs failed" >&2; exit 1; }
echo "piuparts: every run passes"
