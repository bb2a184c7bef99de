#!/usr/bin/env bash
# Makes the initrd on the build host, without mkinitramfs: the arm64 busybox
# of ROOT, the modules that mounting the virt machine's root disk takes (with
# their dependencies, in load order, from ROOT's module index) and
# initrd-init as /init.
#
#   make-initrd.sh ROOT VERSION OUTPUT
set -euo pipefail
root=$1
version=$2
output=$3
here=$(cd "$(dirname "$0")" && pwd)

initrd=$(mktemp -d)
trap 'rm -rf "$initrd"' EXIT
moddir=lib/modules/$version
mkdir -p "$initrd"/{bin,dev,proc,sys,root}
cp "$root"/bin/busybox "$initrd"/bin/busybox
cp "$here"/initrd-init "$initrd"/init
chmod 0755 "$initrd"/init

declare -A seen=()
order=()
add_module() {
    local line path dep
    line=$(grep -E "(^|/)$1\.ko(\.[a-z]+)?:" "$root/$moddir/modules.dep" || true)
    [[ -n "$line" ]] || return 0 # built into the kernel
    path=${line%%:*}
    [[ -z "${seen[$path]:-}" ]] || return 0
    seen[$path]=1
    for dep in ${line#*:}; do
        add_module "$(basename "${dep%%.ko*}")"
    done
    order+=("$path")
}
# ext4 takes its checksums through the crypto API, which loads no module by
# itself this early.
for module in virtio_mmio virtio_blk crc32c_generic ext4; do
    add_module "$module"
done
: >"$initrd"/modules.order
# Debian 13's modules are xz-compressed: they go in plain, for busybox insmod.
for path in "${order[@]}"; do
    mkdir -p "$initrd/$moddir/$(dirname "$path")"
    case "$path" in
    *.ko.xz) xz -dc "$root/$moddir/$path" >"$initrd/$moddir/${path%.xz}" ;;
    *) cp "$root/$moddir/$path" "$initrd/$moddir/$path" ;;
    esac
    echo "/$moddir/${path%.ko*}.ko" >>"$initrd"/modules.order
done
(cd "$initrd" && find . | LC_ALL=C sort | cpio --quiet -o -H newc) | gzip -1 >"$output"
echo "make-initrd: ${#order[@]} modules: ${order[*]##*/}"
