#!/usr/bin/env bash
# Makes a root file system of a Debian release for this machine's CPU, with
# everything scripts/install-deps.sh installs (and the packages named after
# the release), so that the suite and the package builds can run against that
# release's compilers, libraries and tools on any host. Prints the root's
# directory when it is ready; a root made from the same inputs is reused.
#
#   scripts/release-root.sh RELEASE [PACKAGE...]     e.g. trixie, bookworm
#
# PEC_ROOT_CACHE (default /var/cache/pec-roots) holds the roots. Run as root.
# scripts/in-release-root.sh runs a command of this tree inside one.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
release=${1:?usage: release-root.sh RELEASE [PACKAGE...]}
shift
cache=${PEC_ROOT_CACHE:-/var/cache/pec-roots}
dir=$cache/$release
stamp=$dir/.pec-root

[[ $(id -u) -eq 0 ]] || { echo "release-root: run as root (mmdebstrap, chroot)" >&2; exit 2; }
key=$({ echo "$release" "$@"; cat "$root/scripts/install-deps.sh"; } | sha256sum | cut -c1-16)

mkdir -p "$cache"
exec 9>"$dir.lock"
flock 9
if [[ -f "$stamp" && "$(cat "$stamp")" == "$key" ]]; then
    echo "$dir"
    exit 0
fi

"$root/scripts/install-deps.sh" mmdebstrap >&2
# The archive this machine's apt uses.
. "$root/scripts/debian-mirrors.sh"
mapfile -t sources < <(debian_sources "$release")

echo "release-root: making $dir ($release)" >&2
rm -rf "$dir"
mmdebstrap --variant=apt --mode=root --format=directory \
    --include=ca-certificates,dpkg-dev \
    --aptopt='Acquire::Retries "3"' "${debian_apt_options[@]}" --dpkgopt=force-unsafe-io \
    --dpkgopt='path-exclude=/usr/share/man/*' --dpkgopt='path-exclude=/usr/share/doc/*' \
    --dpkgopt='path-include=/usr/share/doc/*/copyright' \
    --dpkgopt='path-exclude=/usr/share/locale/*' \
    "$release" "$dir" "${sources[@]}" >&2
# The project's own dependency list, run by its own script, in the release.
install -D -m 0755 "$root/scripts/install-deps.sh" "$dir/usr/local/sbin/pec-install-deps"
chroot "$dir" /usr/local/sbin/pec-install-deps "$@" >&2
chroot "$dir" apt-get clean
echo "$key" >"$stamp"
echo "$dir"
