#!/usr/bin/env bash
# The boot test: the arm64 package on a real Debian 12 system under
# qemu-system-aarch64 (machine virt, TCG), with systemd as PID 1.
#
#   boot/boot-test.sh [--deb FILE --bench DIR] [--manager ifupdown|netplan]...
#                     [--keep] [--timeout SEC]
#
# Makes an arm64 root file system from Debian's archive with mmdebstrap
# (cached), unpacks Debian's arm64 kernel into it and builds a small initrd on
# this host (no mkinitramfs under emulation), installs the project's arm64
# package and the bench's arm64 simulator and interposer, and boots it once per
# network manager (ifupdown and netplan by default). Inside, guest/check.sh
# checks the daemon under the real systemd and reports on a virtio console;
# any failed check, a missing report or a boot that outlasts the timeout
# makes this script fail. Every step prints how long it took.
#
# Without --deb and --bench the arm64 package and the bench programs are
# cross-built first (scripts/build-packages.sh, scripts/cross-build-arm64.sh,
# into build-boot-deb/ and build-boot-arm64/). Run as root: mmdebstrap, chroot and
# binfmt_misc need it. PEC_BOOT_CACHE (default /var/cache/pec-boot) keeps the
# root file system between runs; it is never required. The work tree is
# PEC_BOOT_WORK (default build-boot/ at the top of the repository).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/.." && pwd)
cache=${PEC_BOOT_CACHE:-/var/cache/pec-boot}
work=${PEC_BOOT_WORK:-$top/build-boot}
deb=""
bench=""
managers=()
keep=0
timeout=900

usage() {
    sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'
}
while (($#)); do
    case "$1" in
    --deb) deb=$(realpath "$2"); shift 2 ;;
    --bench) bench=$(realpath "$2"); shift 2 ;;
    --manager) managers+=("$2"); shift 2 ;;
    --keep) keep=1; shift ;;
    --timeout) timeout=$2; shift 2 ;;
    -h | --help) usage; exit 0 ;;
    *) echo "boot-test: unknown option $1 (see --help)" >&2; exit 2 ;;
    esac
done
((${#managers[@]})) || managers=(ifupdown netplan)
for m in "${managers[@]}"; do
    [[ "$m" == ifupdown || "$m" == netplan ]] || { echo "boot-test: unknown manager $m" >&2; exit 2; }
done
[[ $(id -u) -eq 0 ]] || { echo "boot-test: run as root (mmdebstrap, chroot, binfmt_misc)" >&2; exit 2; }

# ---- timing -----------------------------------------------------------------

test_start=$SECONDS
step_name=""
step_start=0
timings=()
step() {
    step_done
    step_name=$1
    step_start=$SECONDS
    echo "== boot-test: $step_name"
}
step_done() {
    if [[ -n "$step_name" ]]; then
        local took=$((SECONDS - step_start))
        timings+=("$(printf '%5d s  %s' "$took" "$step_name")")
        echo "== boot-test: $step_name took $took s"
        step_name=""
    fi
}
summary() {
    step_done
    echo "== boot-test: step times"
    printf '%s\n' "${timings[@]}"
    printf '%5d s  in all\n' $((SECONDS - test_start))
}
vm=""
finish() {
    if [[ -n "$vm" ]]; then
        kill "$vm" 2>/dev/null || true # a machine still running when this ends
    fi
    summary
}
trap finish EXIT

# ---- host tools -------------------------------------------------------------

step "host tools"
tools=(mmdebstrap qemu-user-static qemu-system-arm binfmt-support e2fsprogs cpio gzip arch-test)
missing=()
for p in "${tools[@]}"; do
    [[ "$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)" == "install ok installed" ]] || missing+=("$p")
done
if ((${#missing[@]})); then
    echo "boot-test: installing ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get -o DPkg::Lock::Timeout=600 update -qq
    apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends "${missing[@]}"
fi
# arm64 programs run under qemu-user in the root file system (maintainer
# scripts, depmod): binfmt_misc must know them.
if [[ ! -e /proc/sys/fs/binfmt_misc/status ]]; then
    mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
fi
if [[ ! -e /proc/sys/fs/binfmt_misc/qemu-aarch64 ]]; then
    update-binfmts --enable qemu-aarch64
fi
arch-test arm64 >/dev/null || { echo "boot-test: this host cannot run arm64 programs" >&2; exit 1; }

# ---- the arm64 package and bench programs -----------------------------------

if [[ -z "$deb" ]]; then
    step "arm64 package (scripts/build-packages.sh)"
    PEC_PACKAGE_ARCHES=arm64 "$top"/scripts/build-packages.sh "$work-deb"
    deb=$(ls "$work-deb"/pec-daemon_*_arm64.deb)
fi
if [[ -z "$bench" ]]; then
    step "arm64 bench programs (scripts/cross-build-arm64.sh)"
    PEC_CMAKE_ARGS="-DPEC_BUILD_TESTS=OFF" "$top"/scripts/cross-build-arm64.sh "$work-arm64" >/dev/null
    bench=$work-arm64/bench
fi
for f in "$deb" "$bench/pec_bmc_sim" "$bench/libpec_bench_interposer.so"; do
    [[ -f "$f" ]] || { echo "boot-test: $f missing" >&2; exit 1; }
done
unit=$(dpkg-deb -c "$deb" | sed -n 's|.*/lib/systemd/system/\([^/]*\.service\)$|\1|p' | head -n 1)
[[ -n "$unit" ]] || { echo "boot-test: $deb holds no systemd service" >&2; exit 1; }
echo "boot-test: package $(basename "$deb"), unit $unit"

# ---- the root file system (cached) ------------------------------------------

suite=bookworm
mirror=http://deb.debian.org/debian
sources=("deb $mirror $suite main" "deb $mirror $suite-updates main"
    "deb http://deb.debian.org/debian-security $suite-security main")
# ifupdown and netplan systems share one root; the image made for each
# leaves out the other's configuration. busybox-static is the initrd's shell.
packages=(systemd systemd-sysv dbus udev kmod iproute2 procps ifupdown netplan.io gpiod
    busybox-static libyaml-cpp0.7)
key=$({
    printf '%s\n' "$suite" "${sources[@]}" "${packages[@]}"
    cat "$here"/host/fetch-kernel.sh
} | sha256sum | cut -c1-16)
base=$cache/rootfs-$key.tar
mkdir -p "$cache"
# One run at a time from here on, a second waits: it shares the cache, and
# two emulated machines at once would starve each other.
exec 9>"$cache/.lock"
flock 9
if [[ -f "$base" ]]; then
    step "root file system (cached: $base)"
else
    step "root file system (mmdebstrap, arm64)"
    rm -f "$cache"/rootfs-*.tar.partial
    mmdebstrap --arch=arm64 --variant=apt --mode=root --format=tar \
        --include="$(IFS=,; echo "${packages[*]}")" \
        --aptopt='Acquire::Retries "3"' --dpkgopt=force-unsafe-io \
        --dpkgopt='path-exclude=/usr/share/man/*' --dpkgopt='path-exclude=/usr/share/doc/*' \
        --dpkgopt='path-exclude=/usr/share/locale/*' \
        --customize-hook="\"$here/host/fetch-kernel.sh\" \"\$1\"" \
        "$suite" "$base.partial" "${sources[@]}"
    mv "$base.partial" "$base"
    # Roots made from another package list are not used again.
    find "$cache" -maxdepth 1 -name 'rootfs-*.tar' ! -name "${base##*/}" -delete
fi

# ---- kernel and initrd ------------------------------------------------------

step "kernel and initrd"
rm -rf "$work"
mkdir -p "$work/base"
tar -C "$work/base" -xf "$base"
kernel=$(ls "$work"/base/boot/vmlinuz-* | head -n 1)
version=${kernel##*/vmlinuz-}
cp "$kernel" "$work/vmlinuz"
initrd=$cache/initrd-$key-$(cat "$here"/host/initrd-init "$here"/host/make-initrd.sh | sha256sum | cut -c1-8).img
if [[ ! -f "$initrd" ]]; then
    "$here"/host/make-initrd.sh "$work/base" "$version" "$initrd.partial"
    mv "$initrd.partial" "$initrd"
fi
echo "boot-test: kernel $version, initrd $(du -h "$initrd" | cut -f1)"

# ---- the package and the test's own files -----------------------------------

step "package install (dpkg under qemu-user)"
cp "$deb" "$work/base/tmp/"
chroot "$work/base" dpkg -i "/tmp/$(basename "$deb")"
rm -f "$work/base/tmp/$(basename "$deb")"
chroot "$work/base" systemctl is-enabled "$unit"

install -D -m 0755 "$bench/pec_bmc_sim" "$work/base/usr/lib/pec-boot/pec_bmc_sim"
install -D -m 0644 "$bench/libpec_bench_interposer.so" "$work/base/usr/lib/pec-boot/libpec_bench_interposer.so"
install -D -m 0755 "$here/guest/check.sh" "$work/base/usr/lib/pec-boot/check.sh"
install -D -m 0644 "$here/guest/bench.conf" "$work/base/etc/systemd/system/$unit.d/bench.conf"
install -D -m 0644 "$here/guest/pec-boot-i2c.conf" "$work/base/etc/tmpfiles.d/pec-boot-i2c.conf"
for u in pec-bmc-sim.service pec-boot-check.service; do
    install -D -m 0644 "$here/guest/$u" "$work/base/etc/systemd/system/$u"
    mkdir -p "$work/base/etc/systemd/system/multi-user.target.wants"
    ln -sf "/etc/systemd/system/$u" "$work/base/etc/systemd/system/multi-user.target.wants/$u"
done
echo pec-boot >"$work/base/etc/hostname"
printf '127.0.0.1\tlocalhost\n127.0.1.1\tpec-boot\n' >"$work/base/etc/hosts"
: >"$work/base/etc/fstab"
# Nothing here needs the periodic jobs, and a first-boot prompt would wait.
for u in apt-daily.timer apt-daily-upgrade.timer e2scrub_all.timer fstrim.timer \
    systemd-firstboot.service; do
    ln -sf /dev/null "$work/base/etc/systemd/system/$u"
done

# ---- one image and one boot per network manager -----------------------------

# The card's EEPROM window: a 1 MiB memory BAR that the guest kernel places
# at the start of the virt machine's 32-bit PCI window, 0x10000000 (the
# only PCI device; highmem=off leaves no 64-bit window). The daemon maps it
# through the real /dev/mem; the serial number record sits at 0x50.
truncate -s 1M "$work/eeprom.bin"
printf '\x55PEC07-2024-0815\x00' | dd of="$work/eeprom.bin" bs=1 seek=$((0x50)) conv=notrunc status=none

failed=()
for manager in "${managers[@]}"; do
    step "$manager image"
    root=$work/root-$manager
    cp -a "$work/base" "$root"
    mkdir -p "$root/etc/pec-boot"
    printf 'UNIT=%s\nMANAGER=%s\n' "$unit" "$manager" >"$root/etc/pec-boot/settings"
    "$here"/host/network-config.sh "$root" "$manager"
    image=$work/$manager.img
    size_mb=$(($(du -sm "$root" | cut -f1) + 512))
    mkfs.ext4 -q -F -L pec-root -E lazy_itable_init=1 -d "$root" "$image" "${size_mb}M"
    rm -rf "$root"

    step "$manager boot and checks"
    results=$work/$manager.results
    console=$work/$manager.console
    : >"$results"
    timeout --kill-after=10 "$timeout" qemu-system-aarch64 \
        -M virt,highmem=off -cpu max,pauth-impdef=on -smp 2 -m 1536 \
        -display none -monitor none -serial "file:$console" -no-reboot \
        -kernel "$work/vmlinuz" -initrd "$initrd" \
        -append "root=/dev/vda rw console=ttyAMA0 net.ifnames=0 panic=-1 systemd.show_status=0" \
        -drive "if=none,file=$image,format=raw,id=root" -device virtio-blk-device,drive=root \
        -netdev user,id=net0,restrict=on -device virtio-net-device,netdev=net0 \
        -device virtio-serial-device -chardev "file,id=results,path=$results" \
        -device virtconsole,chardev=results \
        -object "memory-backend-file,id=eeprom,size=1M,mem-path=$work/eeprom.bin,share=on" \
        -device ivshmem-plain,memdev=eeprom &
    vm=$!
    # The report, live; tail ends with the machine.
    tail -n +1 -F --pid="$vm" "$results" 2>/dev/null | sed -u "s/^/  $manager| /"
    status=0
    wait "$vm" || status=$?
    vm=""
    if ((status == 124 || status == 137)); then
        echo "boot-test: $manager: no result within $timeout s; last console lines:"
        tail -n 40 "$console"
        failed+=("$manager (timeout)")
    elif ! tail -n 1 "$results" | grep -q "PEC-BOOT: PASS"; then
        echo "boot-test: $manager: checks failed (qemu status $status); last console lines:"
        tail -n 40 "$console"
        failed+=("$manager")
    fi
    ((keep)) || rm -f "$image"
done
step_done
((keep)) || rm -rf "$work/base"

if ((${#failed[@]})); then
    echo "boot-test: FAILED: ${failed[*]} (console logs and results in $work)"
    exit 1
fi
echo "boot-test: all checks passed (${managers[*]})"
