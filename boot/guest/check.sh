#!/bin/bash
# The boot test's checks, run inside the emulated card by pec-boot-check.service
# once the system is up. Every line goes to the journal, the console and
# /dev/hvc0 (a file on the host); the last line is "PEC-BOOT: PASS" or
# "PEC-BOOT: FAIL". The unit powers the machine off when this ends.
#
# /etc/pec-boot/settings names the daemon's unit (UNIT), the network manager
# this image was made for (MANAGER: ifupdown, netplan or networkmanager) and
# the Debian release (RELEASE), whether the board's declaration
# (59-pec-board.rules) is left out of the image and dropped in by the checks
# (LATE_DECLARATION=1: until then the machine is not a card) and the
# simulated BMC's board (SIM_SCENARIO: netplan has a sensor that answers at
# 0x4C, no-sensor none).
# The checks are shell functions, run in the
# order of the list "boot_checks" at the end; a new check is a function
# there and a name in that list.
set -uo pipefail
. /etc/pec-boot/settings

for _ in $(seq 100); do
    [[ -c /dev/hvc0 ]] && break
    sleep 0.1
done
exec > >(tee /dev/hvc0) 2>&1

trace=/run/pec-bench/trace.jsonl
control=/run/pec-bench/control
failures=0
started=$SECONDS

say() { printf '[%4ds] %s\n' $((SECONDS - started)) "$*"; }
pass() { say "ok   $*"; }
fail() {
    say "FAIL $*"
    failures=$((failures + 1))
}
# wait_until SECONDS COMMAND...: true once COMMAND succeeds, polled twice a second.
wait_until() {
    local limit=$((SECONDS + $1))
    shift
    until "$@" >/dev/null 2>&1; do
        ((SECONDS < limit)) || return 1
        sleep 0.5
    done
}
check() {
    local what=$1
    shift
    if "$@" >/dev/null 2>&1; then pass "$what"; else fail "$what"; fi
}
# Card packets in the simulated BMC's trace: count_writes ADDRESS SUBADDRESS [VALUE]
count_writes() {
    local pattern="\"event\":\"card_write\".*\"address\":\"$1\",\"sub\":[0-9]*,\"subaddress\":\"$2\""
    [[ -n "${3:-}" ]] && pattern+=".*\"value\":\"$3\""
    grep -c -- "$pattern" "$trace" 2>/dev/null || true
}
description_sets() { count_writes DESCRIPTION SUBADDRESS_DESCRIPTION_IP_ADDRESS; }
more_than() { (($("$1") > $2)); }
reported_address() { (($(count_writes DESCRIPTION SUBADDRESS_DESCRIPTION_IP_ADDRESS "$1") > 0)); }
main_pid() { systemctl show -p MainPID --value "$UNIT"; }
bmc() {
    say "BMC: $*"
    echo "$*" >"$control"
}
eth0_addresses() { ip -4 -o addr show dev eth0 | awk '{print $4}' | xargs; }
has_address() { ip -4 -o addr show dev eth0 | grep -q "inet $1 "; }
# The daemon's own lines in the journal, since this boot.
daemon_log() { journalctl -b -o cat -u "$UNIT" --no-pager; }
# The link's longest silence during the last apply: the longest gap (ms)
# between the card's reads of BMC packets, from its read of the apply to that
# of the third ping queued behind it (apply_pings). Fails until they are read.
link_silence() {
    awk '/"event":"card_read"/ && /"packet":/ {
            t = $0; sub(/^\{"t":/, "", t); sub(/,.*/, "", t)
            if (/"subaddress":"SUBADDRESS_NETWORK_CONFIG_APPLY"/) { last = t; gap = 0; pings = 0; seen = 1; next }
            if (!seen || pings >= 3) next
            if (t - last > gap) gap = t - last
            last = t; if (/"type":"PING"/) pings++
        }
        END { if (pings < 3) exit 1; printf "%.0f\n", gap * 1000 }' "$trace" 2>/dev/null
}
apply_pings() { for _ in 1 2 3; do bmc "ping"; done; }
# A figure, not a check: the apply runs on the daemon's link thread.
say_link_silence() {
    if wait_until 30 link_silence; then
        say "figure: longest link silence during the $1 apply ($MANAGER, ${RELEASE:-?}): $(link_silence) ms"
    else
        say "figure: longest link silence during the $1 apply: not found (3 pings behind it not read in the trace)"
    fi
}


# The daemon's ERROR line about the sensor that this board gives.
if [[ "$SIM_SCENARIO" == no-sensor ]]; then
    sensor_error="Onboard Temperature Sensor not found"
else
    sensor_error="Onboard Temperature Sensor at 0x4C has no hwmon device"
fi

# ---- the checks --------------------------------------------------------------

# The descriptors of any process open on /dev/i2c-0 or /dev/gpiochip0.
bus_holders() {
    find /proc/[0-9]*/fd -maxdepth 1 \( -lname /dev/i2c-0 -o -lname /dev/gpiochip0 \) 2>/dev/null
}
gpio_info() { gpioinfo gpiochip0 2>/dev/null || gpioinfo -c gpiochip0 2>/dev/null; }
# The card's Ethernet under Debian's own naming (an endN name), found by
# its driver: what the board's declaration marks.
virtio_nic() {
    local dev
    for dev in /sys/class/net/*; do
        [[ "$(basename "$(readlink -f "$dev/device/driver" 2>/dev/null)")" == virtio_net ]] && basename "$dev"
    done
}
nic_property() { udevadm info --query=property "/sys/class/net/$1" | sed -n "s/^$2=//p"; }
pec_link=/usr/lib/systemd/network/50-pec-daemon-eth0.link

# Not a card: the boot came up with I2C adapter 0 and gpiochip0 but no
# declaration of the board, so the package must have done nothing at all:
# no module, no node, no line, no transfer, no client, no file under /etc,
# no interface renamed, and the unit skipped on its condition.
check_not_a_card() {
    local status nic
    # The boot's devices are still being probed under emulation when
    # multi-user.target is reached: the adapter's driver may come later.
    udevadm settle --timeout=120
    wait_until 60 test -e /sys/bus/i2c/devices/i2c-0/name && udevadm settle --timeout=60
    say "adapter: $(cat /sys/bus/i2c/devices/i2c-0/name 2>&1); $(gpiodetect 2>&1 | head -n 1)"
    check "the kernel has I2C adapter 0 (i2c-gpio) and gpiochip0" \
        sh -c '[ "$(cat /sys/bus/i2c/devices/i2c-0/name)" = i2c-gpio ] && [ -c /dev/gpiochip0 ]'
    check "$UNIT was not started: its condition was not met" \
        test "$(systemctl show -p ConditionResult --value "$UNIT")" = no
    status=$(systemctl status "$UNIT" --no-pager 2>&1)
    say "systemctl status: $(grep -E 'Active:|Condition|Docs:' <<<"$status" | xargs)"
    check "systemctl status $UNIT says in one line why it is not running" \
        grep -q 'ConditionPathExists=/dev/pec-bmc-i2c was not met' <<<"$status"
    check "no module loaded for the bus: i2c_dev is not loaded" test ! -e /sys/module/i2c_dev
    check "no /dev/i2c-0 and no /dev/pec-bmc-i2c" sh -c '[ ! -e /dev/i2c-0 ] && [ ! -e /dev/pec-bmc-i2c ]'
    no_holders() { [[ -z "$(bus_holders)" ]]; }
    check "no process holds /dev/i2c-0 or /dev/gpiochip0" no_holders
    line_0() { gpio_info | grep -E '^\s*line +0:'; }
    say "$(line_0 | xargs)"
    # gpiod 1.6 says "unused" or names the consumer in quotes, 2.1 adds
    # consumer="..." to a line in use.
    line_0_unused() { line_0 | grep -q . && ! line_0 | grep -Eq '"|consumer|\[used|(^|[^n])used'; }
    check "line 0 of gpiochip0 is unused" line_0_unused
    check "the simulated BMC saw no transfer, line request or open" \
        sh -c "! grep -Eq '\"event\":\"(open|slave|card_write|card_read|smbus|line_request|line_value|new_device)\"' $trace"
    check "no client was registered on the adapter" sh -c '! ls /sys/bus/i2c/devices | grep -q "^0-"'
    nic=$(virtio_nic)
    say "the NIC: $nic; $(udevadm info --query=property "/sys/class/net/$nic" | grep -E '^ID_NET_(NAME|LINK_FILE)' | xargs)"
    debian_name() {
        [[ -n "$nic" && "$nic" != eth0 && ! -e /sys/class/net/eth0 &&
            "$(nic_property "$nic" ID_NET_LINK_FILE)" != "$pec_link" ]]
    }
    check "the NIC keeps Debian's own name ($nic, not eth0), from another .link file than the package's" debian_name
    # systemd's own writes of a first boot are said, not counted: the
    # machine id it commits and the stamp of systemd-update-done.
    local changes first_boot
    changes=$(diff /usr/lib/pec-boot/etc.digest <(/usr/lib/pec-boot/etc-digest.sh /) | grep '^[<>]')
    first_boot=$(grep -E '^[<>] etc/(machine-id|\.updated) ' <<<"$changes")
    changes=$(grep -Ev '^[<>] etc/(machine-id|\.updated) ' <<<"$changes")
    say "/etc against the image's digest: $(grep -c . <<<"$changes") lines differ, besides systemd's first boot:" \
        "$(cut -d' ' -f2 <<<"$first_boot" | sort -u | xargs)"
    [[ -z "$changes" ]] || sed 's/^/    /' <<<"$changes" | head -n 20
    check "/etc is as the installation left it" test -z "$changes"
}

# The board is declared as an integrator declares it: the file dropped into
# /etc/udev/rules.d and udev's rules reloaded. The Ethernet takes its name
# when it next appears (at the next boot on a card, here by an "add" event
# for the NIC), and the bus's adapter, removed and loaded again, appears on
# a declared board: the rules load i2c-dev for it, and the node's appearance
# alone starts the service.
check_declared_late() {
    local nic
    nic=$(virtio_nic)
    say "declaring the board: /etc/udev/rules.d/59-pec-board.rules, udevadm control --reload"
    install -m 0644 /usr/lib/pec-boot/59-pec-board.rules /etc/udev/rules.d/59-pec-board.rules
    udevadm control --reload
    modprobe -r i2c_gpio
    say "the NIC $nic appears again (udevadm trigger --action=add)"
    # Not "trigger --settle": Debian 12's udevadm waits there for the
    # device under its old name, which the rename took away.
    udevadm trigger --action=add "/sys/class/net/$nic"
    udevadm settle --timeout=60
    if wait_until 30 test -e /sys/class/net/eth0; then pass "the NIC is now eth0"; else fail "the NIC is not eth0: $(virtio_nic)"; fi
    # The manager takes eth0 up as it would at the next boot.
    case "$MANAGER" in
    ifupdown) systemctl restart networking.service ;;
    netplan) networkctl reconfigure eth0 ;;
    networkmanager) nmcli connection up eth0 >/dev/null ;;
    esac
    say "loading the adapter's driver again: modprobe i2c_gpio"
    modprobe i2c_gpio
    if wait_until 60 test -c /dev/pec-bmc-i2c; then pass "the kernel and udev made /dev/i2c-0 and /dev/pec-bmc-i2c"; else fail "no /dev/pec-bmc-i2c after modprobe i2c_gpio"; fi
}

# The bus node is the kernel's: i2c-dev loaded by the package's rules for
# the declared adapter, the adapter the device tree's i2c-gpio bus, the
# daemon started on it under its unit's device policy.
check_bus() {
    check "i2c_dev is loaded, by the rules (no modules-load.d file names it)" \
        sh -c '[ -e /sys/module/i2c_dev ] && ! grep -rqs "i2c.dev" /etc/modules-load.d /usr/lib/modules-load.d /etc/modules'
    say "/dev/i2c-0: $(stat -c '%F %t:%T' /dev/i2c-0 2>&1), adapter $(cat /sys/class/i2c-dev/i2c-0/name 2>&1)," \
        "/dev/pec-bmc-i2c -> $(readlink /dev/pec-bmc-i2c 2>&1)"
    check "/dev/i2c-0 is the kernel's character device 89:0" test "$(stat -c '%F %t:%T' /dev/i2c-0)" = "character special file 59:0"
    check "its adapter is the device tree's i2c-gpio bus" test "$(cat /sys/class/i2c-dev/i2c-0/name)" = i2c-gpio
    check "/dev/pec-bmc-i2c, the unit's condition, is the node" test "$(readlink -f /dev/pec-bmc-i2c)" = /dev/i2c-0
    check "no tmpfiles.d entry makes the node" sh -c '! grep -rqs "i2c-0" /etc/tmpfiles.d /usr/lib/tmpfiles.d'
    say "udev: $(udevadm info --query=property /dev/i2c-0 | grep -E '^(PEC_BMC_BUS|TAGS|SYSTEMD_WANTS)=' | xargs);" \
        "device unit: $(systemctl show -p ActiveState,Wants 'dev-i2c\x2d0.device' | xargs)"
    check "udev recognised the declared bus and tagged the node for systemd, wanting $UNIT" \
        sh -c "udevadm info --query=property /dev/i2c-0 | grep -qx 'SYSTEMD_WANTS=$UNIT' &&
            udevadm info --query=property /dev/i2c-0 | grep -qx PEC_BMC_BUS=1"
    check "the daemon holds the kernel's /dev/i2c-0 open" \
        sh -c "ls -l /proc/$(main_pid)/fd | grep -q ' -> /dev/i2c-0\$'"
    # The interposer hands a slave selection on to the simulated BMC only
    # once the kernel's node has taken it.
    check "the kernel's node took the daemon's selection of slave 8" \
        grep -q '"event":"slave".*"value":8[,}]' "$trace"
    check "systemd's device policy found the node (no \"Couldn't stat device\")" \
        sh -c "! journalctl -b -o cat _PID=1 | grep -qi \"couldn't stat device\""
}

# The card's Ethernet is eth0 through the package's .link file, which
# matched the declared NIC; Debian's own naming would have called it endN,
# which stays as its alternative name.
check_ethernet() {
    local onboard
    onboard=$(nic_property eth0 ID_NET_NAME_ONBOARD)
    say "eth0: $(udevadm info --query=property /sys/class/net/eth0 | grep -E '^(PEC_ETHERNET|ID_NET_(NAME|LINK_FILE))' | xargs);" \
        "$(ip -o link show eth0 | grep -o 'altname [^ \\]*' | paste -sd ' ')"
    check "eth0 is the declared NIC (PEC_ETHERNET=1, driver virtio_net)" \
        test "$(nic_property eth0 PEC_ETHERNET):$(virtio_nic)" = 1:eth0
    check "its name comes from the package's .link file" test "$(nic_property eth0 ID_NET_LINK_FILE)" = "$pec_link"
    check "without it, Debian's naming would call it $onboard (its onboard name, not eth0)" \
        test "${onboard#end}" != "$onboard"
}

# The daemon registered the sensor that answered its probe with the kernel's
# own adapter; nothing answers the driver there, so it has no hwmon device.
# Every start (check_restart has made a second) gives one ERROR line.
check_sensor() {
    local client=/sys/bus/i2c/devices/0-004c starts errors
    check "the daemon's new_device made client 0-004c (adm1032) on the kernel's adapter i2c-0" \
        sh -c "[ \"\$(cat $client/name)\" = adm1032 ] && readlink -f $client | grep -q '/i2c-0/0-004c\$'"
    say "kernel: $(journalctl -b -k -o cat | grep -E 'lm90|0x4c|0-004c' | tail -n 3 | xargs)"
    check "lm90 did not bind: no hwmon device" test ! -e "$client/hwmon"
    check "the kernel refuses a second adm1032 at 0x4c" \
        sh -c '! echo adm1032 0x4c >/sys/bus/i2c/devices/i2c-0/new_device'
    starts=$(daemon_log | grep -c 'PEC Main Daemon' || true)
    errors=$(daemon_log | grep -c "$sensor_error" || true)
    say "daemon starts: $starts, \"$sensor_error\" lines: $errors"
    check "one ERROR line about the sensor per start, at least two starts" test "$errors" = "$starts" -a "$starts" -ge 2
    check "no temperature report reached the BMC" \
        test "$(count_writes STATUS SUBADDRESS_STATUS_TEMPERATURE_ONBOARD)" = 0
}

# The unit starts the daemon at boot.
check_start() {
    check "$UNIT is enabled" systemctl is-enabled "$UNIT"
    if wait_until 120 systemctl is-active "$UNIT"; then pass "$UNIT is active"; else fail "$UNIT is not active"; fi
    if wait_until 90 more_than description_sets 1; then
        pass "the simulated BMC received the card's two description sets at start"
    else
        fail "no description sets reached the simulated BMC"
    fi
    if wait_until 30 sh -c "journalctl -b -o cat -u '$UNIT' | grep -q 'PEC Main Daemon'"; then
        pass "the daemon's banner is in the journal"
    else
        fail "the daemon's banner is not in the journal"
    fi
    check "the serial number from the EEPROM window in /dev/mem reached the BMC" \
        test "$(count_writes DESCRIPTION SUBADDRESS_DESCRIPTION_SERIAL_NUMBER PEC07-2024-0815)" -gt 0
}

# The line request went to the kernel's own GPIO chip.
check_gpio() {
    say "$(gpiodetect 2>&1 | head -n 3)"
    # gpiod 1.6 (Debian 12) takes the chip's name, 2.1 (Debian 13) wants -c.
    local values info
    values=$(gpioget gpiochip0 4 5 6 7 2>&1) || values=$(gpioget -c gpiochip0 4 5 6 7 2>&1)
    say "free lines 4-7 of gpiochip0 read (1 and 2 are the I2C bus, 3 the power key): $values"
    info=$(gpioinfo gpiochip0 2>/dev/null || gpioinfo -c gpiochip0 2>/dev/null)
    say "$(head -n 1 <<<"$info")"
    say "$(grep -E '^\s*line +[0-2]:' <<<"$info" | xargs)"
    bus_lines_taken() {
        grep -E '^\s*line +1:' <<<"$info" | grep -Eqi 'used|consumer|sda' &&
            grep -E '^\s*line +2:' <<<"$info" | grep -Eqi 'used|consumer|scl'
    }
    check "lines 1 and 2 of gpiochip0 are taken (i2c-gpio's SDA and SCL)" bus_lines_taken
    check "the kernel reports line 0 of gpiochip0 used by \"read feedback\"" \
        grep -qE 'line +0:.*(read feedback.*input|input.*read feedback)' <<<"$info"
}

# A killed daemon is restarted.
check_restart() {
    local pid sets
    pid=$(main_pid)
    sets=$(description_sets)
    say "killing the daemon (pid $pid) with SIGKILL"
    kill -KILL "$pid"
    restarted() {
        local now
        now=$(main_pid)
        [[ "$now" != 0 && "$now" != "$pid" ]] && systemctl is-active "$UNIT"
    }
    if wait_until 60 restarted; then
        pass "systemd restarted the daemon (pid $(main_pid), restarts: $(systemctl show -p NRestarts --value "$UNIT"))"
    else
        fail "the daemon was not restarted"
    fi
    if wait_until 90 more_than description_sets $((sets + 1)); then
        pass "the restarted daemon sent its description sets again"
    else
        fail "the restarted daemon sent no description sets"
    fi
}

# A hostname from the BMC, through the real hostnamectl and systemd-hostnamed.
check_hostname() {
    bmc "hostname pec-boot-07"
    if wait_until 60 sh -c '[ "$(hostnamectl hostname)" = pec-boot-07 ]'; then
        pass "hostname is now $(hostnamectl hostname) (static: $(hostnamectl --static))"
    else
        fail "hostname is $(hostname), not pec-boot-07"
    fi
    check "/etc/hostname holds the new name" grep -qx pec-boot-07 /etc/hostname
}

# The manager runs eth0 before the daemon changes anything.
check_manager() {
    case "$MANAGER" in
    ifupdown)
        check "ifupdown brought eth0 up" sh -c 'ifquery --state eth0 | grep -q eth0'
        say "DHCP client: $(command -v dhclient dhcpcd udhcpc | xargs)"
        ;;
    netplan)
        say "$(netplan --version 2>/dev/null | head -n 1 || dpkg-query -W -f='netplan.io ${Version}' netplan.io)"
        check "systemd-networkd runs eth0" sh -c 'networkctl status eth0 | grep -qi "configured"'
        ;;
    networkmanager)
        say "$(NetworkManager --version 2>/dev/null | sed 's/^/NetworkManager /')"
        check "NetworkManager is active" systemctl is-active NetworkManager.service
        if wait_until 60 sh -c '[ "$(nmcli -g GENERAL.CONNECTION device show eth0)" = eth0 ]'; then
            pass "NetworkManager runs eth0 with the keyfile's connection eth0"
        else
            fail "NetworkManager does not run eth0 with connection eth0: $(nmcli -t device 2>&1 | xargs)"
        fi
        ;;
    esac
    check "eth0 carries the image's 192.0.2.10/24" has_address 192.0.2.10/24
}

# What the manager's own configuration says after an apply: manager_holds
# static ADDRESS/PREFIX GATEWAY, or manager_holds dhcp.
nm_keyfile=/etc/NetworkManager/system-connections/eth0.nmconnection
manager_holds() {
    case "$MANAGER:$1" in
    ifupdown:static) ifquery eth0 | grep -Eqx "address: ${2%/*}(/${2#*/})?" && ifquery eth0 | grep -qx "gateway: $3" ;;
    ifupdown:dhcp) grep -Eq '^iface +eth0 +inet +dhcp' /etc/network/interfaces.d/eth0 ;;
    netplan:static)
        [[ "$(netplan get ethernets.eth0.addresses)" == *"$2"* ]] &&
            [[ "$(netplan get ethernets.eth0 | tr -d '\n ')" == *"$3"* ]] ;;
    netplan:dhcp) [[ "$(netplan get ethernets.eth0.dhcp4)" == true ]] ;;
    # NetworkManager 1.42 writes the gateway into address1=, 1.52 as gateway=.
    networkmanager:static)
        grep -qx 'method=manual' "$nm_keyfile" &&
            grep -Eqx "address1=$2(,$3)?" "$nm_keyfile" &&
            grep -Eqx "(address1=$2,$3|gateway=$3)" "$nm_keyfile" ;;
    networkmanager:dhcp) sed -n '/^\[ipv4\]/,/^\[/p' "$nm_keyfile" | grep -qx 'method=auto' ;;
    esac
}
manager_state() {
    case "$MANAGER" in
    ifupdown) say "stanza: $(grep -v '^#' /etc/network/interfaces.d/eth0 | xargs)" ;;
    netplan) say "netplan: $(netplan get ethernets.eth0 | xargs)" ;;
    networkmanager)
        say "keyfile [ipv4]: $(sed -n '/^\[ipv4\]/,/^\[/p' "$nm_keyfile" | grep -v '^\[' | xargs)"
        say "nmcli: $(nmcli -t -f IP4.ADDRESS,IP4.GATEWAY,GENERAL.STATE device show eth0 | xargs)"
        ;;
    esac
}

# A static IPv4 configuration with apply, through the real network manager.
check_static_apply() {
    say "eth0 before: $(eth0_addresses); $(ip -4 route show default | head -n 1)"
    for line in "mode static" "ip 192.0.2.20" "netmask 255.255.255.0" "gateway 192.0.2.1" "apply"; do
        bmc "$line"
    done
    apply_pings
    if wait_until 120 has_address 192.0.2.20/24; then
        pass "eth0 carries 192.0.2.20/24"
    else
        fail "eth0 does not carry 192.0.2.20/24"
    fi
    check "eth0 no longer carries the image's 192.0.2.10" sh -c '! ip -4 -o addr show dev eth0 | grep -q "inet 192.0.2.10/"'
    say "eth0 after: $(eth0_addresses); $(ip -4 route show default | head -n 1)"
    manager_state
    check "the $MANAGER configuration holds 192.0.2.20/24 via 192.0.2.1" manager_holds static 192.0.2.20/24 192.0.2.1
    if wait_until 60 reported_address 192.0.2.20; then
        pass "the next description set reports 192.0.2.20"
    else
        fail "no description set reports 192.0.2.20"
    fi
    case "$MANAGER" in
    ifupdown) check "networking.service was restarted and is active" systemctl is-active networking.service ;;
    netplan) check "systemd-networkd runs the address" sh -c 'networkctl status eth0 | grep -q 192.0.2.20' ;;
    networkmanager)
        check "NetworkManager runs the address" sh -c 'nmcli -g IP4.ADDRESS device show eth0 | grep -q 192.0.2.20/24'
        check "the keyfile is still private (0600)" test "$(stat -c %a "$nm_keyfile")" = 600
        ;;
    esac
    say_link_silence static
}

# DHCP with apply: qemu's user network leases 10.0.2.15/24; the static
# address and route of the step before must go.
leased=10.0.2.15
check_dhcp_apply() {
    bmc "mode dhcp"
    bmc "apply"
    apply_pings
    if wait_until 180 has_address "$leased/24"; then
        pass "eth0 carries the leased $leased/24"
    else
        fail "eth0 does not carry the leased $leased/24"
    fi
    # The old address may go a moment after the new one comes.
    if wait_until 30 sh -c '! ip -4 -o addr show dev eth0 | grep -q "inet 192.0.2.20/"'; then
        pass "eth0 no longer carries the static 192.0.2.20"
    else
        fail "eth0 still carries the static 192.0.2.20"
    fi
    say "eth0 after: $(eth0_addresses); $(ip -4 route show default | xargs)"
    # qemu's restricted user network leases no router: of the default
    # routes, the static one must go.
    check "no default route via the static gateway 192.0.2.1 is left" \
        sh -c '! ip -4 route show default | grep -q "via 192.0.2.1 "'
    manager_state
    check "the $MANAGER configuration says DHCP" manager_holds dhcp
    if wait_until 60 reported_address "$leased"; then
        pass "the next description set reports $leased"
    else
        fail "no description set reports $leased"
    fi
    case "$MANAGER" in
    ifupdown) say "DHCP client running: $(pgrep -a 'dhclient|dhcpcd|udhcpc' | head -n 2 | xargs)" ;;
    netplan) check "systemd-networkd holds the lease" sh -c "networkctl status eth0 | grep -q '$leased'" ;;
    networkmanager) check "NetworkManager holds the lease" sh -c "nmcli -g DHCP4 device show eth0 | grep -q '$leased'" ;;
    esac
    say_link_silence DHCP
}

# An operator's (or an upgrade's) restart of the service while the daemon
# runs an apply: the stop lets the apply finish before the daemon exits, so
# eth0 ends up with what the manager's file says, whole.
applies_read() { grep -c '"event":"card_read".*SUBADDRESS_NETWORK_CONFIG_APPLY' "$trace" 2>/dev/null || true; }
check_restart_during_apply() {
    local pid applies
    pid=$(main_pid)
    applies=$(applies_read)
    for line in "mode static" "ip 192.0.2.30" "netmask 255.255.255.0" "gateway 192.0.2.1" "apply"; do
        bmc "$line"
    done
    if ! wait_until 60 more_than applies_read "$applies"; then
        fail "the daemon did not read the apply"
        return
    fi
    say "the daemon read the apply: systemctl restart $UNIT"
    local start=$SECONDS since stop_log
    since=$(date '+%Y-%m-%d %H:%M:%S')
    systemctl restart "$UNIT"
    say "systemctl restart returned after $((SECONDS - start)) s; pid $pid, now $(main_pid)"
    check "the daemon was restarted" test "$(main_pid)" != "$pid" -a "$(main_pid)" != 0
    say "the stopped daemon's last lines: $(journalctl -b -o cat _PID="$pid" | tail -n 2 | xargs)"
    stop_log=$(journalctl -b -o cat -u "$UNIT" --since "$since")
    stopped_cleanly() {
        grep -q 'stopped on signal 15' <<<"$stop_log" &&
            ! grep -Eq 'code=killed|timed out|Killing' <<<"$stop_log"
    }
    check "the daemon ended on its own after the apply (\"stopped on signal 15\"), nothing killed" stopped_cleanly
    if wait_until 60 has_address 192.0.2.30/24; then
        pass "eth0 carries 192.0.2.30/24, the apply cut by no restart"
    else
        fail "eth0 does not carry 192.0.2.30/24 after the restart: $(eth0_addresses)"
    fi
    manager_state
    check "the $MANAGER configuration holds 192.0.2.30/24 via 192.0.2.1" manager_holds static 192.0.2.30/24 192.0.2.1
    if wait_until 90 reported_address 192.0.2.30; then
        pass "the restarted daemon reports 192.0.2.30"
    else
        fail "no description set reports 192.0.2.30"
    fi
}

# Test devices the kernel offers (said, not needed).
check_devices() {
    local m found=()
    for m in gpio-sim gpio-mockup i2c-stub; do
        modinfo -n "$m" >/dev/null 2>&1 && found+=("$m")
    done
    say "kernel test devices available as modules: ${found[*]:-none}"
}

# Nothing went wrong that the daemon noticed.
check_journal() {
    local errors
    errors=$(daemon_log | grep -c "ERROR" || true)
    say "daemon journal: $(daemon_log | wc -l) lines, $errors ERROR lines"
    daemon_log | grep "ERROR" | sort | uniq -c | head -n 20 | while read -r line; do say "  $line"; done
    # This board's sensor cannot be read; any other ERROR line is a fault (a
    # sandbox that refuses a device, a file or a command shows up here first).
    check "no ERROR lines but the sensor's (\"$sensor_error\")" \
        sh -c "! journalctl -b -o cat -u '$UNIT' | grep ERROR | grep -v '$sensor_error'"
    say "sandbox: $(systemctl show -p ProtectSystem,ProtectHome,PrivateTmp,NoNewPrivileges,DevicePolicy "$UNIT" | xargs)"
    say "denials: $(journalctl -b -k --no-pager | grep -ci "denied" || true) kernel lines mention a denial"
}

# ---- the checks of one boot, in order ----------------------------------------

# What an operator sees under systemd (priorities, status line, watchdog)
# comes after check_journal, since its first check provokes an ERROR line,
# and the watchdog's restart comes last.
. "$(dirname "$0")/operator-checks.sh"
boot_checks=()
((LATE_DECLARATION)) && boot_checks+=(check_not_a_card check_declared_late)
boot_checks+=(check_start check_bus check_ethernet check_gpio check_restart)
[[ "$SIM_SCENARIO" == no-sensor ]] || boot_checks+=(check_sensor)
boot_checks+=(check_hostname check_manager check_static_apply check_dhcp_apply)
# One manager is enough for the restart during an apply: the stop is the
# daemon's and the unit's, the same for every manager.
[[ "$MANAGER" != netplan ]] || boot_checks+=(check_restart_during_apply)
boot_checks+=(check_devices check_journal
    operator_check_error_priority operator_check_status operator_check_watchdog)

. /etc/os-release
say "checks start: $PRETTY_NAME, kernel $(uname -r), unit $UNIT, network manager $MANAGER"
for c in "${boot_checks[@]}"; do
    say "-- $c"
    "$c"
done

if ((failures == 0)); then
    say "PEC-BOOT: PASS"
    exit 0
fi
say "unit log:"
daemon_log | tail -n 40
say "PEC-BOOT: FAIL ($failures checks failed)"
exit 1
