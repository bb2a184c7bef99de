#!/usr/bin/env bash
# mmdebstrap customize hook: puts Debian's arm64 kernel (the package behind
# linux-image-arm64) into the root file system by unpacking it, not by
# installing it: installing runs mkinitramfs under emulation, several times.
# Module trees the emulated board cannot use are left out, and the module
# index is made with the root's own depmod. The initrd is made separately,
# on the build host (make-initrd.sh).
#
#   fetch-kernel.sh ROOT
set -euo pipefail
root=$1
package=$(chroot "$root" apt-cache depends linux-image-arm64 |
    sed -n 's/^ *Depends: \(linux-image-[0-9].*-arm64\)$/\1/p' | head -n 1)
[[ -n "$package" ]] || { echo "fetch-kernel: no kernel package found" >&2; exit 1; }
chroot "$root" sh -c 'cd /tmp && apt-get download -q "$1" >/dev/null' sh "$package"
# Unpacked beside the root and moved in: unpacking over the root would put a
# directory in place of its /lib link to /usr/lib.
unpacked=$(mktemp -d)
trap 'rm -rf "$unpacked"' EXIT
dpkg-deb -x "$root"/tmp/"$package"_*.deb "$unpacked"
rm -f "$root"/tmp/"$package"_*.deb
version=${package#linux-image-}
mkdir -p "$root/boot" "$root/usr/lib/modules"
mv "$unpacked/boot/vmlinuz-$version" "$root/boot/"
# Debian 12's kernel package puts its modules under /lib, Debian 13's under
# /usr/lib.
for modules in "$unpacked"/lib/modules/"$version" "$unpacked"/usr/lib/modules/"$version"; do
    if [[ -d "$modules" ]]; then mv "$modules" "$root/usr/lib/modules/"; fi
done
moddir=$root/usr/lib/modules/$version/kernel
for unused in drivers/gpu drivers/media drivers/net/wireless drivers/net/ethernet \
    drivers/infiniband drivers/staging drivers/scsi drivers/bluetooth drivers/iio \
    drivers/hid drivers/usb drivers/input/touchscreen sound net/bluetooth net/mac80211 \
    net/wireless; do
    rm -rf "${moddir:?}/$unused"
done
chroot "$root" depmod "$version"
echo "fetch-kernel: $package unpacked"
