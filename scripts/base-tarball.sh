#!/usr/bin/env bash
# Makes the tarball of a minimal system of a Debian release (apt and
# what it needs, systemd, and eatmydata as in the roots piuparts makes for
# itself; nothing of this project), from the archive this machine's apt uses,
# and prints its path. systemd is part of it because every system the
# package goes on runs it: piuparts then judges what the package leaves
# behind, not what a purged systemd leaves (its private state directories,
# which an upgrade test would count against the package). The package lifecycle tests start from it: scripts/piuparts.sh (its
# base tarball, gzip-compressed since piuparts unpacks it with tar -z) and
# scripts/release-upgrade.sh. A tarball made from the same release, options
# and sources is reused.
#
#   scripts/base-tarball.sh RELEASE [ARCH]     e.g. bookworm, trixie; amd64 (default), arm64
#
# A system of another CPU than this machine's is made under qemu-user.
# PEC_ROOT_CACHE (default /var/cache/pec-roots) holds the tarballs. Run as root.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
release=${1:?usage: base-tarball.sh RELEASE [ARCH]}
arch=${2:-amd64}
cache=${PEC_ROOT_CACHE:-/var/cache/pec-roots}
tarball=$cache/base-$release-$arch.tar.gz

extra=(mmdebstrap)
[[ "$arch" == "$(dpkg --print-architecture)" ]] || extra+=(qemu-user-static binfmt-support arch-test)
"$root/scripts/install-deps.sh" "${extra[@]}" >/dev/null
# The archive this machine's apt uses.
. "$root/scripts/debian-mirrors.sh"
mapfile -t sources < <(debian_sources "$release")
# shellcheck disable=SC2054 # --include takes a list with commas
options=(--variant=apt --mode=root --format=tar --architectures=$arch --include=systemd,eatmydata
    --aptopt='Acquire::Retries "3"' "${debian_apt_options[@]}" --dpkgopt=force-unsafe-io)
key=$(echo "$release ${options[*]} ${sources[*]}" | sha256sum | cut -c1-16)

mkdir -p "$cache"
exec 9>"$tarball.lock"
flock 9
if [[ ! -f "$tarball" || "$(cat "$tarball.key" 2>/dev/null)" != "$key" ]]; then
    echo "base-tarball: making a minimal system of $release ($arch)" >&2
    start=$SECONDS
    rm -f "$tarball" "$tarball.key"
    mmdebstrap "${options[@]}" "$release" "$tarball.new.tar.gz" "${sources[@]}" >"$tarball.log" 2>&1 ||
        { tail -n 30 "$tarball.log" >&2; exit 1; }
    mv "$tarball.new.tar.gz" "$tarball"
    echo "$key" >"$tarball.key"
    echo "base-tarball: $release ($arch) made in $((SECONDS - start)) s ($(du -h "$tarball" | cut -f1))" >&2
fi
echo "$tarball"
