#!/usr/bin/env bash
# Makes the emulated card's device tree: the virt machine's own (QEMU's
# dumpdtb with the machine options the boot uses) with a bit-banged I2C bus
# added, i2c-gpio on lines 1 (SDA) and 2 (SCL) of the machine's PL061 GPIO
# chip, so that the kernel registers a real I2C adapter 0 and, with i2c-dev,
# makes /dev/i2c-0 as it does on a card. Nothing answers on that bus.
#
# The NIC gets a device-tree node of its own, as a card's onboard Ethernet
# has: every virtio-mmio transport gets a child "virtio,device1" (net) and an
# ethernetN alias to it. The kernel binds the NIC to the child of the
# transport it sits on (the others name a device their transport does not
# have and are ignored), so Debian's interface naming calls it endN after
# its alias, not eth0, unless the board declares it as the card's Ethernet.
#
#   make-dtb.sh OUTPUT MACHINE QEMU_OPTION...
#   e.g. make-dtb.sh card.dtb virt,highmem=off -cpu max -smp 2 -m 1536
set -euo pipefail
output=$1 machine=$2
shift 2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# No NIC: the default one needs a boot ROM that may be missing, and a NIC
# adds nothing to the tree (virt lists its virtio-mmio slots in any case).
qemu-system-aarch64 -M "$machine,dumpdtb=$work/virt.dtb" "$@" -display none -nic none \
    >"$work/qemu.log" 2>&1 || { cat "$work/qemu.log" >&2; exit 1; }
gpio=$(fdtget -l "$work/virt.dtb" / | grep -m 1 '^pl061@') ||
    { echo "make-dtb: the machine has no PL061 GPIO chip" >&2; exit 1; }
phandle=$(fdtget -t x "$work/virt.dtb" "/$gpio" phandle)

# Lines active high and open drain (GPIO_SINGLE_ENDED | GPIO_LINE_OPEN_DRAIN),
# as an I2C bus's are.
dtc -q -I dtb -O dts -o "$work/virt.dts" "$work/virt.dtb"
mapfile -t transports < <(fdtget -l "$work/virt.dtb" / | grep '^virtio_mmio@')
((${#transports[@]})) || { echo "make-dtb: the machine has no virtio-mmio transport" >&2; exit 1; }
{
    echo
    echo "/ {"
    for t in "${transports[@]}"; do
        printf '\t%s {\n\t\tethernet {\n\t\t\tcompatible = "virtio,device1";\n\t\t};\n\t};\n' "$t"
    done
    printf '\taliases {\n'
    for i in "${!transports[@]}"; do
        printf '\t\tethernet%d = "/%s/ethernet";\n' "$i" "${transports[$i]}"
    done
    printf '\t};\n};\n'
} >>"$work/virt.dts"
cat >>"$work/virt.dts" <<DTS

/ {
	i2c-gpio {
		compatible = "i2c-gpio";
		sda-gpios = <0x$phandle 1 6>;
		scl-gpios = <0x$phandle 2 6>;
		i2c-gpio,delay-us = <5>;
		#address-cells = <1>;
		#size-cells = <0>;
	};
};
DTS
dtc -q -I dts -O dtb -o "$output" "$work/virt.dts"
echo "make-dtb: $machine with i2c-gpio on /$gpio lines 1 (SDA) and 2 (SCL)," \
    "a net node and an ethernetN alias on each of its ${#transports[@]} virtio-mmio transports"
