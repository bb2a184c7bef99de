#!/bin/bash
# The boot test's checks, run inside the emulated card by pec-boot-check.service
# once the system is up. Every line goes to the journal, the console and
# /dev/hvc0 (a file on the host); the last line is "PEC-BOOT: PASS" or
# "PEC-BOOT: FAIL". The unit powers the machine off when this ends.
#
# /etc/pec-boot/settings names the daemon's unit (UNIT) and the network
# manager this image was made for (MANAGER: ifupdown or netplan).
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
# The daemon's own lines in the journal, since this boot.
daemon_log() { journalctl -b -o cat -u "$UNIT" --no-pager; }

say "checks start: unit $UNIT, network manager $MANAGER, kernel $(uname -r)"

# 1. The unit starts the daemon at boot.
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

# 2. The line request went to the kernel's own GPIO chip.
say "$(gpiodetect 2>&1 | head -n 3)"
say "$(gpioinfo gpiochip0 2>&1 | head -n 2)"
say "free lines 1, 2, 4-7 of gpiochip0 read (3 is the power key): $(gpioget gpiochip0 1 2 4 5 6 7 2>&1)"
check "the kernel reports line 0 of gpiochip0 used by \"read feedback\"" \
    sh -c 'gpioinfo gpiochip0 | grep -E "line +0:.*\"read feedback\".*input.*used"'

# 3. A killed daemon is restarted.
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

# 4. A hostname from the BMC, through the real hostnamectl and systemd-hostnamed.
bmc "hostname pec-boot-07"
if wait_until 60 sh -c '[ "$(hostnamectl hostname)" = pec-boot-07 ]'; then
    pass "hostname is now $(hostnamectl hostname) (static: $(hostnamectl --static))"
else
    fail "hostname is $(hostname), not pec-boot-07"
fi
check "/etc/hostname holds the new name" grep -qx pec-boot-07 /etc/hostname

# 5. A static IPv4 configuration with apply, through the real network manager.
say "eth0 before: $(ip -4 -o addr show dev eth0 | awk '{print $4}' | xargs)"
for line in "mode static" "ip 192.0.2.20" "netmask 255.255.255.0" "gateway 192.0.2.1" "apply"; do
    bmc "$line"
done
if wait_until 120 sh -c 'ip -4 -o addr show dev eth0 | grep -q "inet 192.0.2.20/24"'; then
    pass "eth0 carries 192.0.2.20/24"
else
    fail "eth0 does not carry 192.0.2.20/24"
fi
say "eth0 after: $(ip -4 -o addr show dev eth0 | awk '{print $4}' | xargs); $(ip -4 route show default | head -n 1)"
if wait_until 60 reported_address 192.0.2.20; then
    pass "the next description set reports 192.0.2.20"
else
    fail "no description set reports 192.0.2.20"
fi
case "$MANAGER" in
ifupdown)
    check "the stanza file holds the new address" grep -q "192.0.2.20" /etc/network/interfaces.d/eth0
    check "networking.service was restarted and is active" systemctl is-active networking.service
    ;;
netplan)
    check "the netplan file holds the new address" grep -q "192.0.2.20/24" /etc/netplan/01-netcfg.yaml
    check "systemd-networkd runs the address" sh -c 'networkctl status eth0 | grep -q 192.0.2.20'
    ;;
esac

# 6. Nothing went wrong that the daemon noticed.
errors=$(daemon_log | grep -c "ERROR" || true)
say "daemon journal: $(daemon_log | wc -l) lines, $errors ERROR lines"
daemon_log | grep "ERROR" | sort | uniq -c | head -n 20 | while read -r line; do say "  $line"; done
# This board has no temperature sensor; any other ERROR line is a fault (a
# sandbox that refuses a device, a file or a command shows up here first).
check "no ERROR lines but the missing sensor's" \
    sh -c "! journalctl -b -o cat -u '$UNIT' | grep ERROR | grep -v 'Onboard Temperature Sensor not found'"
say "sandbox: $(systemctl show -p ProtectSystem,ProtectHome,PrivateTmp,NoNewPrivileges,DevicePolicy "$UNIT" | xargs)"
say "denials: $(journalctl -b -k --no-pager | grep -ci "denied" || true) kernel lines mention a denial"

if ((failures == 0)); then
    say "PEC-BOOT: PASS"
    exit 0
fi
say "unit log:"
daemon_log | tail -n 40
say "PEC-BOOT: FAIL ($failures checks failed)"
exit 1
