#!/bin/bash
# Started by the bench's sandbox tests in place of the daemon: reports what a
# process inside the sandbox sees, one "key value" line each, and with
# PROBE_CHANGES set also drives the stand-ins as the daemon would.
# shellcheck source=/dev/null
. "$BENCH_RUN_DIR/probe.env"
echo "hostname $(hostname)"
echo "marker $(dd if=/dev/mem bs=1 skip=$((0x10000050)) count=1 2>/dev/null | od -An -tx1 | tr -d ' ')"
echo "serial $(dd if=/dev/mem bs=1 skip=$((0x10000051)) count=40 2>/dev/null | tr -d '\0')"
echo "os [$(bash -c 'source /etc/os-release; echo ${PRETTY_NAME}')]"
echo "eth0 $(ip -4 -o addr show dev eth0 | awk '{print $4}')"
echo "route $(ip -4 route show default | awk '{print $3, $5}')"
echo "netplan $(ls /etc/netplan)"
echo "ifupdown $(ls /etc/network/interfaces.d)"
echo "keyfiles $(ls /etc/NetworkManager/system-connections)"
echo "nm $(systemctl is-active NetworkManager)"
echo "hwmon $(ls /sys/class/hwmon | tr '\n' ' ')"
echo "card $("$FAKE_CARD" probe 0x4c chip handle 0 rf closechip value | sed "s/^chip [0-9]* 0$/chip ok/" | tr '\n' ';')"
case "${PROBE_CHANGES:-}" in
netplan)
    hostnamectl set-hostname card-07
    echo "hostname-after $(hostname)"
    sed -i 's#192.0.2.10/24#192.0.2.30/24#; s#via: 192.0.2.1#via: 192.0.2.254#' /etc/netplan/01-netcfg.yaml
    netplan apply
    echo "eth0-after $(ip -4 -o addr show dev eth0 | awk '{print $4}')"
    echo "route-after $(ip -4 route show default | awk '{print $3}')"
    echo "network: {ethernets: {eth0: {dhcp4: maybe}}" >/etc/netplan/01-netcfg.yaml
    netplan apply 2>/dev/null
    echo "broken-apply $? $(ip -4 -o addr show dev eth0 | awk '{print $4}')"
    ;;
ifupdown)
    sed -i 's#address 192.0.2.10#address 192.0.2.31#' /etc/network/interfaces.d/eth0
    systemctl restart networking.service
    echo "eth0-after $(ip -4 -o addr show dev eth0 | awk '{print $4}')"
    echo "route-after $(ip -4 route show default | awk '{print $3}')"
    ;;
esac
echo "probe done"
exec sleep 600
