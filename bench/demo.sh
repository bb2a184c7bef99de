#!/bin/bash
# The bench demo: builds the card daemon and the bench, then runs the daemon
# on a simulated card (netplan host, temperature sensor present) against the
# simulated BMC, printing the decoded traffic live. A short scripted BMC
# session renames the card and gives eth0 a static address, which the card
# reports in its next description set. Stops by itself after DURATION seconds
# (default 75) or on Ctrl-C, and leaves nothing behind.
#
#   usage: bench/demo.sh [--duration SEC] [--build DIR] [--scenario NAME] [--debug]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
duration=${PEC_DEMO_DURATION:-75}
build=${PEC_BUILD_DIR:-$root/build}
scenario=netplan
extra=()
while [ $# -gt 0 ]; do
    case "$1" in
    --duration) duration=$2; shift 2 ;;
    --build) build=$2; shift 2 ;;
    --scenario) scenario=$2; shift 2 ;;
    --debug) extra+=(--debug); shift ;;
    -h | --help) sed -n '2,10p' "$0"; exit 0 ;;
    *) echo "demo: unknown option $1" >&2; exit 2 ;;
    esac
done
if [ "$(id -u)" != 0 ]; then
    echo "demo: needs root (it runs the daemon in private mount, network and PID namespaces)" >&2
    exit 1
fi
echo "demo: building into $build"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >"$build.cmake.log" 2>&1 ||
    { cat "$build.cmake.log" >&2; exit 1; }
cmake --build "$build" --target pec_daemon pec_bmc_sim pec_bench_interposer -j2 >"$build.build.log" 2>&1 ||
    { tail -n 40 "$build.build.log" >&2; exit 1; }
rm -f "$build.cmake.log" "$build.build.log"
echo "demo: running for $duration s (Ctrl-C stops earlier)"
exec "$build/bench/pec_bmc_sim" --scenario "$scenario" --daemon "$build/pec-daemon" \
    --script "$here/demo.script" --duration "$duration" --show-log --no-stdin "${extra[@]}"
