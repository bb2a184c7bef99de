#!/usr/bin/env bash
# Makes ROOT a system whose eth0 is run by MANAGER: ifupdown (a stanza file
# of its own, applied by networking.service) or netplan (a YAML file rendered
# for systemd-networkd). Both start with 192.0.2.10/24 and a default route
# via 192.0.2.1.
#
#   network-config.sh ROOT ifupdown|netplan
set -euo pipefail
root=$1
manager=$2

mkdir -p "$root/etc/network/interfaces.d" "$root/etc/netplan"
cat >"$root/etc/network/interfaces" <<'END'
auto lo
iface lo inet loopback

source /etc/network/interfaces.d/*
END
case "$manager" in
ifupdown)
    cat >"$root/etc/network/interfaces.d/eth0" <<'END'
auto eth0
iface eth0 inet static
    address 192.0.2.10
    netmask 255.255.255.0
    gateway 192.0.2.1
END
    ;;
netplan)
    install -m 0600 /dev/stdin "$root/etc/netplan/01-netcfg.yaml" <<'END'
network:
  version: 2
  renderer: networkd
  ethernets:
    eth0:
      dhcp4: false
      addresses:
        - 192.0.2.10/24
      routes:
        - to: default
          via: 192.0.2.1
END
    chroot "$root" systemctl enable systemd-networkd.service >/dev/null 2>&1
    # Nothing waits for the address to come up, and a link without a peer
    # would hold the boot up to two minutes.
    chroot "$root" systemctl mask systemd-networkd-wait-online.service >/dev/null 2>&1
    ;;
*)
    echo "network-config: unknown manager $manager" >&2
    exit 2
    ;;
esac
