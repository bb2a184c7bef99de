#!/usr/bin/env bash
# Runs a command inside the root of a Debian release (scripts/release-root.sh
# makes it), with this tree at the same path as here, the kernel's /proc,
# /sys and /dev, and a /tmp and /run of its own. The mounts live in a mount
# namespace of their own and vanish with it.
#
#   scripts/in-release-root.sh RELEASE COMMAND...
#   scripts/in-release-root.sh trixie scripts/test.sh -L unit
#
# PEC_ROOT_PACKAGES names extra packages the root must hold.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
release=${1:?usage: in-release-root.sh RELEASE COMMAND...}
shift
# shellcheck disable=SC2086 # a list of package names
dir=$("$root/scripts/release-root.sh" "$release" ${PEC_ROOT_PACKAGES:-})

exec unshare --mount --propagation private -- bash -euo pipefail -c '
    dir=$1 tree=$2 here=$3
    shift 3
    # The root a mount of its own: inside it "/" is then a mount point, whose
    # propagation the tests and the bench change for their own namespaces.
    mount --bind "$dir" "$dir"
    mount --rbind /dev "$dir/dev"
    mount -t proc proc "$dir/proc"
    mount --rbind /sys "$dir/sys"
    mount -t tmpfs -o mode=1777 tmpfs "$dir/tmp"
    mount -t tmpfs -o mode=0755 tmpfs "$dir/run"
    mkdir -p "$dir/$tree"
    mount --bind "$tree" "$dir/$tree"
    cp -L /etc/resolv.conf "$dir/etc/resolv.conf" 2>/dev/null || true
    exec chroot "$dir" /usr/bin/env -C "$here" "$@"
' in-release-root "$dir" "$root" "$PWD" "$@"
