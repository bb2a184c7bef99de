#!/usr/bin/env bash
# The boot test: the arm64 package on real Debian systems under
# qemu-system-aarch64 (machine virt, TCG), with systemd as PID 1, one boot per
# release and network manager.
#
#   boot/boot-test.sh [--deb FILE]... [--debs DIR] [--bench DIR]
#                     [--boot RELEASE:MANAGER]... [--release R]... [--manager M]...
#                     [--all] [--keep] [--timeout SEC] [--roots-only]
#
# Releases: bookworm (Debian 12), trixie (Debian 13). Managers: ifupdown,
# netplan (with systemd-networkd), networkmanager. --boot adds one boot;
# --release and --manager add every pair of the ones given (a missing side
# means all of that side); --all boots every manager on every release.
# Without any of these: bookworm:ifupdown trixie:netplan trixie:networkmanager
# (each release and each manager once).
#
# For each release booted, makes an arm64 root file system from Debian's
# archive with mmdebstrap (cached; the roots still missing are made side by
# side) holding all three managers and the release's DHCP client, unpacks
# Debian's arm64 kernel into it and builds a small initrd on this host (no
# mkinitramfs under emulation), installs the release's arm64 package with
# apt-get (its dependencies must come from that root: the installability
# check) and the bench's arm64 simulator and interposer, and makes one image
# per manager, in which the other two are disabled. Inside, guest/check.sh
# checks the daemon under the real systemd, among them a static and a DHCP
# apply from the simulated BMC, and reports on a virtio console; any failed
# check, a missing report or a boot that outlasts the timeout makes this
# script fail. Every step prints how long it took. --roots-only makes the
# root file systems of the boots chosen and stops (no packages needed).
#
# Packages: the release's is picked from those given by its version suffix
# (pec-daemon_<version>+deb12u1_arm64.deb for bookworm, +deb13u1 for
# trixie); a package with no such suffix counts as bookworm's. Without --deb
# or --debs the arm64 packages are built first (scripts/build-packages.sh,
# into build-boot-deb/); without --bench the bench programs are cross-built
# (scripts/cross-build-arm64.sh, into build-boot-arm64/). Run as root:
# mmdebstrap, chroot and binfmt_misc need it. PEC_BOOT_CACHE (default
# /var/cache/pec-boot) keeps the root file systems between runs; it is never
# required. The work tree is PEC_BOOT_WORK (default build-boot/ at the top of
# the repository).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/.." && pwd)
cache=${PEC_BOOT_CACHE:-/var/cache/pec-boot}
work=${PEC_BOOT_WORK:-$top/build-boot}
all_releases=(bookworm trixie)
all_managers=(ifupdown netplan networkmanager)

# What differs between the releases: the Debian version in the package's
# suffix, the yaml-cpp runtime the package links to, and the DHCP client
# that the release's ifupdown uses (networkd and NetworkManager bring their
# own). The kernel is each release's linux-image-arm64.
declare -A release_number=([bookworm]=12 [trixie]=13)
declare -A release_packages=(
    [bookworm]="libyaml-cpp0.7 isc-dhcp-client"
    [trixie]="libyaml-cpp0.8 dhcpcd-base"
)

debs=()
bench=""
boots=()
releases=()
managers=()
keep=0
roots_only=0
timeout=900

usage() {
    sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'
}
while (($#)); do
    case "$1" in
    --deb) debs+=("$(realpath "$2")"); shift 2 ;;
    --debs) for f in "$2"/pec-daemon_*_arm64.deb; do [[ -f "$f" ]] && debs+=("$(realpath "$f")"); done; shift 2 ;;
    --bench) bench=$(realpath "$2"); shift 2 ;;
    --boot) boots+=("$2"); shift 2 ;;
    --release) releases+=("$2"); shift 2 ;;
    --manager) managers+=("$2"); shift 2 ;;
    --all) releases=("${all_releases[@]}"); managers=("${all_managers[@]}"); shift ;;
    --roots-only) roots_only=1; shift ;;
    --keep) keep=1; shift ;;
    --timeout) timeout=$2; shift 2 ;;
    -h | --help) usage; exit 0 ;;
    *) echo "boot-test: unknown option $1 (see --help)" >&2; exit 2 ;;
    esac
done
if ((${#releases[@]} || ${#managers[@]})); then
    ((${#releases[@]})) || releases=("${all_releases[@]}")
    ((${#managers[@]})) || managers=("${all_managers[@]}")
    for r in "${releases[@]}"; do
        for m in "${managers[@]}"; do boots+=("$r:$m"); done
    done
fi
((${#boots[@]})) || boots=(bookworm:ifupdown trixie:netplan trixie:networkmanager)
needed=() # the releases booted, each once, in the order first named
for b in "${boots[@]}"; do
    r=${b%%:*} m=${b#*:}
    [[ -n "${release_number[$r]:-}" ]] || { echo "boot-test: unknown release $r in $b" >&2; exit 2; }
    [[ " ${all_managers[*]} " == *" $m "* ]] || { echo "boot-test: unknown manager $m in $b" >&2; exit 2; }
    [[ " ${needed[*]} " == *" $r "* ]] || needed+=("$r")
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
tools=(mmdebstrap qemu-user-static qemu-system-arm binfmt-support e2fsprogs cpio gzip xz-utils arch-test
    device-tree-compiler)
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

# ---- the root file systems (cached) -----------------------------------------

# The archive this machine's apt uses.
. "$top/scripts/debian-mirrors.sh"
# All three managers share one root; the image made for each disables the
# others. busybox-static is the initrd's shell.
common_packages=(systemd systemd-sysv dbus udev kmod iproute2 procps gpiod busybox-static
    ifupdown netplan.io network-manager)
declare -A base_of=()
root_sources() { debian_sources "$1"; }
root_packages() {
    local p
    for p in "${common_packages[@]}" ${release_packages[$1]}; do echo "$p"; done
}
for r in "${needed[@]}"; do
    key=$({
        root_sources "$r"
        root_packages "$r"
        cat "$here"/host/fetch-kernel.sh
    } | sha256sum | cut -c1-16)
    base_of[$r]=$cache/rootfs-$r-$key.tar
done
mkdir -p "$cache"
# One run at a time from here on, a second waits: it shares the cache, and
# two emulated machines at once would starve each other.
exec 9>"$cache/.lock"
flock 9
make_root() {
    local r=$1 base=${base_of[$1]} sources packages
    mapfile -t sources < <(root_sources "$r")
    mapfile -t packages < <(root_packages "$r")
    rm -f "$base.partial"
    mmdebstrap --arch=arm64 --variant=apt --mode=root --format=tar \
        --include="$(IFS=,; echo "${packages[*]}")" \
        --aptopt='Acquire::Retries "3"' "${debian_apt_options[@]}" --dpkgopt=force-unsafe-io \
        --dpkgopt='path-exclude=/usr/share/man/*' --dpkgopt='path-exclude=/usr/share/doc/*' \
        --dpkgopt='path-exclude=/usr/share/locale/*' \
        --customize-hook="\"$here/host/fetch-kernel.sh\" \"\$1\"" \
        "$r" "$base.partial" "${sources[@]}" || return 1
    mv "$base.partial" "$base"
}
to_make=()
for r in "${needed[@]}"; do
    [[ -f "${base_of[$r]}" ]] || to_make+=("$r")
done
if ((${#to_make[@]})); then
    # Side by side: one's downloads overlap the other's emulated installs.
    step "root file systems (mmdebstrap, arm64: ${to_make[*]})"
    pids=()
    for r in "${to_make[@]}"; do
        (
            start=$SECONDS
            make_root "$r" >"$cache/mmdebstrap-$r.log" 2>&1 || {
                echo "boot-test: mmdebstrap $r failed; last lines of $cache/mmdebstrap-$r.log:"
                tail -n 30 "$cache/mmdebstrap-$r.log"
                exit 1
            }
            echo "boot-test: root file system of $r made in $((SECONDS - start)) s"
        ) &
        pids+=($!)
    done
    made=0
    for p in "${pids[@]}"; do wait "$p" || made=1; done
    ((made == 0)) || exit 1
fi
for r in "${needed[@]}"; do
    # Roots of this release made from another package list are not used again.
    find "$cache" -maxdepth 1 -name "rootfs-$r-*.tar" ! -name "${base_of[$r]##*/}" -delete
done
if ((roots_only)); then
    echo "boot-test: root file systems ready: ${needed[*]}"
    exit 0
fi

# ---- the arm64 packages and bench programs ----------------------------------

if ((${#debs[@]} == 0)); then
    step "arm64 packages (scripts/build-packages.sh)"
    PEC_PACKAGE_ARCHES=arm64 PEC_PACKAGE_RELEASES="${needed[*]}" \
        "$top"/scripts/build-packages.sh "$work-deb"
    debs=("$work-deb"/pec-daemon_*_arm64.deb)
fi
if [[ -z "$bench" ]]; then
    step "arm64 bench programs (scripts/cross-build-arm64.sh)"
    PEC_CMAKE_ARGS="-DPEC_BUILD_TESTS=OFF" "$top"/scripts/cross-build-arm64.sh "$work-arm64" >/dev/null
    bench=$work-arm64/bench
fi
for f in "$bench/pec_bmc_sim" "$bench/libpec_bench_interposer.so"; do
    [[ -f "$f" ]] || { echo "boot-test: $f missing" >&2; exit 1; }
done
declare -A deb_of=()
for r in "${needed[@]}"; do
    for f in "${debs[@]}"; do
        v=$(dpkg-deb -f "$f" Version)
        if [[ "$v" == *+deb${release_number[$r]}u* ]] ||
            [[ $r == bookworm && "$v" != *+deb[0-9]* ]]; then
            [[ -z "${deb_of[$r]:-}" ]] || { echo "boot-test: two packages for $r: ${deb_of[$r]} $f" >&2; exit 2; }
            deb_of[$r]=$f
        fi
    done
    [[ -n "${deb_of[$r]:-}" ]] || { echo "boot-test: no package for $r (+deb${release_number[$r]}u) among: ${debs[*]}" >&2; exit 2; }
    echo "boot-test: $r: package $(basename "${deb_of[$r]}")"
done
unit=$(dpkg-deb -c "${deb_of[${needed[0]}]}" | sed -n 's|.*/lib/systemd/system/\([^/]*\.service\)$|\1|p' | head -n 1)
[[ -n "$unit" ]] || { echo "boot-test: ${deb_of[${needed[0]}]} holds no systemd service" >&2; exit 1; }
echo "boot-test: unit $unit; boots: ${boots[*]}"

# ---- the emulated card: its device tree and EEPROM window -------------------

# The machine as every boot starts it; its device tree is QEMU's own for
# these options, with the card's I2C bus added (host/make-dtb.sh).
machine=virt,highmem=off
machine_options=(-cpu max,pauth-impdef=on -smp 2 -m 1536)

# A 1 MiB memory BAR that the guest kernel places at the start of the virt
# machine's 32-bit PCI window, 0x10000000 (the only PCI device; highmem=off
# leaves no 64-bit window). The daemon maps it through the real /dev/mem;
# the serial number record sits at 0x50.
rm -rf "$work"
mkdir -p "$work"
"$here"/host/make-dtb.sh "$work/card.dtb" "$machine" "${machine_options[@]}"
truncate -s 1M "$work/eeprom.bin"
printf '\x55PEC07-2024-0815\x00' | dd of="$work/eeprom.bin" bs=1 seek=$((0x50)) conv=notrunc status=none

failed=()
for r in "${needed[@]}"; do
    rwork=$work/$r
    base=$rwork/base

    # ---- kernel and initrd --------------------------------------------------

    step "$r: kernel and initrd"
    mkdir -p "$base"
    tar -C "$base" -xf "${base_of[$r]}"
    kernel=$(ls "$base"/boot/vmlinuz-* | head -n 1)
    version=${kernel##*/vmlinuz-}
    cp "$kernel" "$rwork/vmlinuz"
    initrd_key=$(cat "$here"/host/initrd-init "$here"/host/make-initrd.sh | sha256sum | cut -c1-8)
    initrd=$cache/initrd-$(basename "${base_of[$r]}" .tar)-$initrd_key.img
    if [[ ! -f "$initrd" ]]; then
        "$here"/host/make-initrd.sh "$base" "$version" "$initrd.partial"
        mv "$initrd.partial" "$initrd"
    fi
    echo "boot-test: $r: kernel $version, initrd $(du -h "$initrd" | cut -f1)"

    # ---- the package and the test's own files -------------------------------

    step "$r: package install (apt-get under qemu-user)"
    # The decoder's package beside the daemon's, when it was built: an
    # operator reads the card's own bus with pec-decode --live.
    deb=${deb_of[$r]}
    install_debs=("$deb")
    decode=$(dirname "$deb")/$(basename "${deb/pec-daemon_/pec-decode_}")
    [[ ! -f "$decode" ]] || install_debs+=("$decode")
    cp "${install_debs[@]}" "$base/tmp/"
    # No package lists in the root: every dependency must be installed there
    # already, from the release's own archive.
    chroot "$base" env DEBIAN_FRONTEND=noninteractive \
        apt-get install -y -q --no-install-recommends -o Dpkg::Use-Pty=false \
        "${install_debs[@]/#*\//\/tmp\/}"
    for f in "${install_debs[@]}"; do rm -f "$base/tmp/${f##*/}"; done
    chroot "$base" systemctl is-enabled "$unit"

    install -D -m 0755 "$bench/pec_bmc_sim" "$base/usr/lib/pec-boot/pec_bmc_sim"
    install -D -m 0644 "$bench/libpec_bench_interposer.so" "$base/usr/lib/pec-boot/libpec_bench_interposer.so"
    install -D -m 0755 "$here/guest/check.sh" "$base/usr/lib/pec-boot/check.sh"
    install -D -m 0644 "$here/guest/operator-checks.sh" "$base/usr/lib/pec-boot/operator-checks.sh"
    install -D -m 0755 "$here/guest/etc-digest.sh" "$base/usr/lib/pec-boot/etc-digest.sh"
    install -D -m 0644 "$here/guest/59-pec-board.rules" "$base/usr/lib/pec-boot/59-pec-board.rules"
    install -D -m 0644 "$here/guest/bench.conf" "$base/etc/systemd/system/$unit.d/bench.conf"
    for u in pec-bmc-sim.service pec-boot-check.service; do
        install -D -m 0644 "$here/guest/$u" "$base/etc/systemd/system/$u"
        mkdir -p "$base/etc/systemd/system/multi-user.target.wants"
        ln -sf "/etc/systemd/system/$u" "$base/etc/systemd/system/multi-user.target.wants/$u"
    done
    echo pec-boot >"$base/etc/hostname"
    printf '127.0.0.1\tlocalhost\n127.0.1.1\tpec-boot\n' >"$base/etc/hosts"
    : >"$base/etc/fstab"
    # Nothing here needs the periodic jobs, and a first-boot prompt would wait.
    # The report's console is no terminal to log in on: systemd 257 starts a
    # getty there, whose hangup cuts the report off.
    for u in apt-daily.timer apt-daily-upgrade.timer e2scrub_all.timer fstrim.timer \
        systemd-firstboot.service serial-getty@hvc0.service; do
        ln -sf /dev/null "$base/etc/systemd/system/$u"
    done

    # ---- one image and one boot per network manager -------------------------

    # The emulated board is declared as an integrator declares a board
    # (guest/59-pec-board.rules in /etc/udev/rules.d), except in the first
    # boot of each release, the late one: it comes up as a machine that is
    # not a card (adapter 0 and gpiochip0, no declaration), which the checks
    # find untouched, before they drop the declaration in, remove the bus
    # adapter's driver and load it again, so that the service starts on the
    # node's appearance alone. Its simulated BMC answers the sensor probe at
    # 0x4C, so that the daemon registers the sensor with the kernel's own
    # adapter.
    late=1
    for b in "${boots[@]}"; do
        [[ ${b%%:*} == "$r" ]] || continue
        manager=${b#*:}
        name=$r-$manager
        step "$name: image"
        root=$rwork/root-$manager
        cp -a "$base" "$root"
        mkdir -p "$root/etc/pec-boot"
        scenario=no-sensor
        if ((late)); then
            scenario=netplan # the bench's default board: a sensor at 0x4C
        else
            install -D -m 0644 "$here/guest/59-pec-board.rules" "$root/etc/udev/rules.d/59-pec-board.rules"
        fi
        printf 'UNIT=%s\nMANAGER=%s\nRELEASE=%s\nLATE_DECLARATION=%s\nSIM_SCENARIO=%s\n' \
            "$unit" "$manager" "$r" "$late" "$scenario" >"$root/etc/pec-boot/settings"
        late=0
        "$here"/host/network-config.sh "$root" "$manager"
        # What /etc holds as the installation left it, for the checks to
        # compare with once the machine is up.
        "$here"/guest/etc-digest.sh "$root" >"$root/usr/lib/pec-boot/etc.digest"
        image=$work/$name.img
        size_mb=$(($(du -sm "$root" | cut -f1) + 512))
        mkfs.ext4 -q -F -L pec-root -E lazy_itable_init=1 -d "$root" "$image" "${size_mb}M"
        rm -rf "$root"

        step "$name: boot and checks"
        results=$work/$name.results
        console=$work/$name.console
        : >"$results"
        timeout --kill-after=10 "$timeout" qemu-system-aarch64 \
            -M "$machine" "${machine_options[@]}" -dtb "$work/card.dtb" \
            -display none -monitor none -serial "file:$console" -no-reboot \
            -kernel "$rwork/vmlinuz" -initrd "$initrd" \
            -append "root=/dev/vda rw console=ttyAMA0 panic=-1 systemd.show_status=0" \
            -drive "if=none,file=$image,format=raw,id=root" -device virtio-blk-device,drive=root \
            -netdev user,id=net0,restrict=on -device virtio-net-device,netdev=net0 \
            -device virtio-serial-device -chardev "file,id=results,path=$results" \
            -device virtconsole,chardev=results \
            -object "memory-backend-file,id=eeprom,size=1M,mem-path=$work/eeprom.bin,share=on" \
            -device ivshmem-plain,memdev=eeprom &
        vm=$!
        # The report, live; tail ends with the machine.
        tail -n +1 -F --pid="$vm" "$results" 2>/dev/null | sed -u "s/^/  $name| /"
        status=0
        wait "$vm" || status=$?
        vm=""
        if ((status == 124 || status == 137)); then
            echo "boot-test: $name: no result within $timeout s; last console lines:"
            tail -n 40 "$console"
            failed+=("$name (timeout)")
        elif ! tail -n 1 "$results" | grep -q "PEC-BOOT: PASS"; then
            echo "boot-test: $name: checks failed (qemu status $status); last console lines:"
            tail -n 40 "$console"
            failed+=("$name")
        fi
        ((keep)) || rm -f "$image"
    done
    ((keep)) || rm -rf "$base"
done
step_done

if ((${#failed[@]})); then
    echo "boot-test: FAILED: ${failed[*]} (console logs and results in $work)"
    exit 1
fi
echo "boot-test: all checks passed (${boots[*]})"
