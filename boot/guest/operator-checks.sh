#!/bin/bash
# What an operator sees of the daemon under systemd: its ERROR lines at
# priority err, its readiness and status line, and the watchdog. Sourced by
# check.sh, which provides say/pass/fail/wait_until/check, bmc, main_pid,
# UNIT and MANAGER, and runs these checks after its "no ERROR lines" step,
# since the first one provokes an ERROR line; the watchdog's comes last: it
# restarts the daemon.
# shellcheck shell=bash

# The daemon's own journal lines since this boot (not systemd's about it).
operator_lines() { journalctl -b --no-pager -o cat "_SYSTEMD_UNIT=$UNIT" "$@"; }

# journalctl -p err lists exactly the daemon's ERROR lines, and none of its
# lines carries colour codes (which make the journal store a byte array).
operator_check_error_priority() {
    bmc "hostname bad_name"
    if ! wait_until 60 sh -c "journalctl -b -o cat _SYSTEMD_UNIT='$UNIT' | grep -q 'invalid hostname refused'"; then
        fail "the refused hostname's ERROR line did not reach the journal"
        return
    fi
    local errors all_errors
    errors=$(operator_lines -p err | sort)
    all_errors=$(operator_lines | grep '^\[ERROR\]' | sort)
    say "journalctl -p err: $(printf '%s\n' "$errors" | grep -c . || true) lines"
    if [[ -n "$errors" && "$errors" == "$all_errors" ]]; then
        pass "journalctl -p err -u $UNIT lists exactly the daemon's ERROR lines"
    else
        fail "journalctl -p err and the daemon's ERROR lines differ"
        diff <(printf '%s\n' "$errors") <(printf '%s\n' "$all_errors") | head -n 10 |
            while read -r line; do say "  $line"; done
    fi
    check "no journal line of the daemon is stored as bytes (colour codes)" \
        sh -c "! journalctl -b -o json _SYSTEMD_UNIT='$UNIT' | grep -q '\"MESSAGE\":\\['"
    check "no journal line of the daemon starts with a priority left in its text" \
        sh -c "! journalctl -b -o cat _SYSTEMD_UNIT='$UNIT' | grep -q '^<[0-7]>'"
}

# READY=1 was received (the unit is a notify service and active), the
# status line names the manager this image was made for, and no child of the
# daemon sent notifications.
operator_check_status() {
    local status manager=$MANAGER
    [[ "$manager" == networkmanager ]] && manager="network manager"
    status=$(systemctl show -p StatusText --value "$UNIT")
    say "StatusText: $status"
    check "$UNIT is Type=notify and active" \
        sh -c "[ \"\$(systemctl show -p Type --value '$UNIT')\" = notify ] && systemctl is-active '$UNIT'"
    if [[ "$status" == "BMC link running; network manager $manager; eth0 address "* ]]; then
        pass "systemctl show -p StatusText shows the daemon's status line"
    else
        fail "unexpected status line: $status"
    fi
    # The commands the daemon ran (the applies among them) did not speak on
    # its notification socket.
    check "systemd refused no notification of $UNIT from another process" \
        sh -c "! journalctl -b -o cat | grep -q 'but reception only permitted for main PID'"
}

# The daemon runs again under another pid than operator_stopped_pid.
operator_restarted() {
    local now
    now=$(main_pid)
    [[ "$now" != 0 && "$now" != "$operator_stopped_pid" ]] && systemctl is-active "$UNIT"
}

# A daemon that stops moving (SIGSTOP) is killed by the watchdog and started
# again within WatchdogSec plus RestartSec (and a little for the restart).
operator_check_watchdog() {
    local pid watchdog restart_sec limit began
    pid=$(main_pid)
    watchdog=$(systemctl show -p WatchdogUSec --value "$UNIT")
    restart_sec=$(systemctl show -p RestartUSec --value "$UNIT")
    # The unit sets WatchdogSec=120 and RestartSec=5; 30 s for the kill,
    # a core dump and the start.
    limit=${OPERATOR_WATCHDOG_LIMIT:-155}
    say "stopping the daemon (pid $pid) with SIGSTOP; watchdog $watchdog, restart after $restart_sec"
    began=$SECONDS
    kill -STOP "$pid"
    operator_stopped_pid=$pid
    if wait_until "$limit" operator_restarted; then
        pass "the watchdog killed the stopped daemon and systemd restarted it after $((SECONDS - began)) s (pid $(main_pid))"
    else
        fail "the stopped daemon was not restarted within $limit s"
        kill -CONT "$pid" 2>/dev/null
    fi
    check "systemd logged the watchdog timeout" \
        sh -c "journalctl -b -o cat -u '$UNIT' | grep -qi 'watchdog timeout'"
}
