#!/bin/bash
# First process of the bench's private namespaces (mount, network, UTS, PID).
# Builds the card's view of the machine from the run directory that the bench
# prepared, starts the host services of the scenario and then the daemon with
# the device interposer preloaded. Everything made here lives only in these
# namespaces and ends with them: when this process dies, the kernel kills
# every process of the PID namespace, drops its mounts and removes the veth.
#
# Environment: BENCH_RUN_DIR, BENCH_DAEMON, BENCH_INTERPOSER, BENCH_STANDINS.
set -u
R=${BENCH_RUN_DIR:?}
# shellcheck source=/dev/null
. "$R/scenario.env"

fail() {
    echo "sandbox: $*" >&2
    exit 1
}
step() { echo "sandbox: $*"; }

mount --make-rprivate / || fail "cannot make the mounts private"

# /dev: the usual nodes, and the EEPROM window as /dev/mem.
mount -t tmpfs -o mode=0755,size=1m bench-dev "$R/dev" || fail "cannot mount a tmpfs for /dev"
for n in null zero full random urandom tty; do
    touch "$R/dev/$n" && mount --bind "/dev/$n" "$R/dev/$n" || fail "cannot bind /dev/$n"
done
mkdir -p "$R/dev/pts" "$R/dev/shm"
mount --rbind /dev/pts "$R/dev/pts" || fail "cannot bind /dev/pts"
mount -t tmpfs -o mode=1777 bench-shm "$R/dev/shm" || fail "cannot mount /dev/shm"
ln -s /proc/self/fd "$R/dev/fd"
ln -s /proc/self/fd/0 "$R/dev/stdin"
ln -s /proc/self/fd/1 "$R/dev/stdout"
ln -s /proc/self/fd/2 "$R/dev/stderr"
ln -s pts/ptmx "$R/dev/ptmx"
touch "$R/dev/mem" && mount --bind "$R/eeprom.bin" "$R/dev/mem" || fail "cannot bind the EEPROM window"
mount --move "$R/dev" /dev || fail "cannot move the new /dev in place"

# /sys: this network namespace's own sysfs, read-only (NetworkManager then runs
# without udev), with the simulated sensor tree over /sys/class and the real
# network class bound back into it.
mount -t sysfs -o ro bench-sysfs /sys || fail "cannot mount sysfs"
mount -t sysfs -o ro bench-sysfs "$R/sysfs" || fail "cannot mount a second sysfs"
mount --bind "$R/sys/class" /sys/class || fail "cannot bind the sensor tree"
mount --bind "$R/sysfs/class/net" /sys/class/net || fail "cannot bind /sys/class/net"

# The host's configuration as the scenario has it.
mount --bind "$R/etc/os-release" /etc/os-release || fail "cannot bind os-release"
mount --bind "$R/etc/netplan" /etc/netplan || fail "cannot bind /etc/netplan"
mount --bind "$R/etc/network/interfaces" /etc/network/interfaces || fail "cannot bind interfaces"
mount --bind "$R/etc/network/interfaces.d" /etc/network/interfaces.d || fail "cannot bind interfaces.d"
mount --bind "$R/etc/NetworkManager" /etc/NetworkManager || fail "cannot bind /etc/NetworkManager"
mount -t tmpfs -o mode=0755 bench-run /run || fail "cannot mount /run"
if [ -d /var/lib/NetworkManager ]; then
    mount --bind "$R/var-lib-nm" /var/lib/NetworkManager || fail "cannot bind /var/lib/NetworkManager"
fi
mkdir -p /run/network /run/dbus /run/NetworkManager /run/lock

hostname "$BENCH_HOSTNAME" || fail "cannot set the hostname"

# eth0 on a veth; the peer stays unconfigured, so nothing answers and nothing
# leaves the namespace.
ip link set lo up
ip link add eth0 type veth peer name bmcnet0 || fail "cannot create the veth pair"
ip link set bmcnet0 up
case "$BENCH_MANAGER" in
ifupdown)
    ifup eth0 || fail "ifup eth0 failed"
    ;;
nm)
    ip link set eth0 up
    ;;
*)
    ip addr add "$BENCH_ADDRESS/$BENCH_PREFIX" dev eth0 || fail "cannot address eth0"
    ip link set eth0 up
    ip route add default via "$BENCH_GATEWAY" dev eth0 || fail "cannot add the default route"
    ;;
esac

if [ "$BENCH_NM" = 1 ]; then
    step "starting dbus and NetworkManager"
    dbus-daemon --system --fork --nopidfile || fail "dbus-daemon failed"
    NetworkManager --no-daemon >"$R/nm.log" 2>&1 &
    echo $! >"$R/nm.pid"
    for _ in $(seq 1 100); do
        if nmcli -t -f RUNNING general 2>/dev/null | grep -q running; then
            break
        fi
        sleep 0.1
    done
    nmcli -t -f RUNNING general | grep -q running || fail "NetworkManager did not start"
    # Let it take over eth0 (the keyfile, or the addresses already there)
    # and finish starting up: under load NetworkManager 1.52 has shown the
    # default route on eth0 while the address was not (or no longer) there.
    nm-online -s -q -t 10 || step "NetworkManager did not finish starting up"
    for _ in $(seq 1 50); do
        if ip -4 -o addr show dev eth0 | grep -q inet &&
            ip -4 route show default | grep -q eth0; then
            break
        fi
        sleep 0.1
    done
fi

step "network: $(ip -4 -o addr show dev eth0 | awk '{print $4}') via $(ip -4 route show default | awk '{print $3}')"

export BENCH_RUN_DIR
daemon_env=(
    "PATH=$BENCH_STANDINS:/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"
    "HOME=/root" "LANG=C.UTF-8" "BENCH_RUN_DIR=$R"
    "LD_PRELOAD=$BENCH_INTERPOSER" "PEC_BENCH_SOCKET=$R/sim.sock"
    # Where the daemon tells a service manager its state; a test may listen.
    "NOTIFY_SOCKET=$R/notify.sock"
)
if [ "$BENCH_DEBUG" = 1 ]; then
    daemon_env+=("DEBUG=1")
fi
# A sanitizer build of the daemon keeps its options; ASan must also accept
# the interposer preloaded ahead of its runtime. A daemon built for the
# card's CPU runs under qemu, which finds that CPU's libraries through
# QEMU_LD_PREFIX.
daemon_env+=("ASAN_OPTIONS=verify_asan_link_order=0${ASAN_OPTIONS:+:$ASAN_OPTIONS}")
for name in UBSAN_OPTIONS LSAN_OPTIONS TSAN_OPTIONS QEMU_LD_PREFIX; do
    if [ -n "${!name:-}" ]; then
        daemon_env+=("$name=${!name}")
    fi
done
cd / || fail "cannot enter /"
env -i "${daemon_env[@]}" "$BENCH_DAEMON" >"$R/daemon.stdout" 2>"$R/daemon.stderr" </dev/null &
daemon=$!
echo "$daemon" >"$R/daemon.pid"
wait "$daemon"
status=$?
echo "$status" >"$R/daemon.exit"
exit "$status"
