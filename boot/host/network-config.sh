#!/usr/bin/env bash
# Makes ROOT a system whose eth0 is run by MANAGER: ifupdown (a stanza file
# of its own, applied by networking.service), netplan (a YAML file rendered
# for systemd-networkd) or networkmanager (a keyfile of NetworkManager's own
# plugin). All three are installed in ROOT; the other two are disabled, so
# that only MANAGER's configuration exists and only its service runs. Each
# starts with 192.0.2.10/24 and a default route via 192.0.2.1.
#
#   network-config.sh ROOT ifupdown|netplan|networkmanager
set -euo pipefail
root=$1
manager=$2

in_root() { chroot "$root" "$@" >/dev/null 2>&1; }
# Nothing waits for the address to come up, and a link without a peer would
# hold the boot up to two minutes.
for u in systemd-networkd-wait-online.service NetworkManager-wait-online.service \
    ifupdown-wait-online.service; do
    in_root systemctl mask "$u" || true
done
# Disabled unless MANAGER is theirs; masked, so that no D-Bus or socket
# activation starts them either.
[[ "$manager" == ifupdown ]] || in_root systemctl disable networking.service || true
if [[ "$manager" != netplan ]]; then
    in_root systemctl disable systemd-networkd.service systemd-networkd.socket || true
    in_root systemctl mask systemd-networkd.service systemd-networkd.socket || true
fi
if [[ "$manager" != networkmanager ]]; then
    in_root systemctl disable NetworkManager.service NetworkManager-dispatcher.service || true
    in_root systemctl mask NetworkManager.service || true
fi

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
    in_root systemctl enable systemd-networkd.service
    ;;
networkmanager)
    # Keyfiles only (Debian's default adds the ifupdown plugin), and no
    # connection of NetworkManager's own making for eth0.
    install -D -m 0644 /dev/stdin "$root/etc/NetworkManager/conf.d/pec-boot.conf" <<'END'
[main]
plugins=keyfile
no-auto-default=*
END
    install -D -m 0600 /dev/stdin "$root/etc/NetworkManager/system-connections/eth0.nmconnection" <<'END'
[connection]
id=eth0
type=ethernet
interface-name=eth0
autoconnect=true

[ethernet]

[ipv4]
method=manual
address1=192.0.2.10/24,192.0.2.1

[ipv6]
method=ignore
END
    in_root systemctl enable NetworkManager.service
    ;;
*)
    echo "network-config: unknown manager $manager" >&2
    exit 2
    ;;
esac
