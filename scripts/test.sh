#!/usr/bin/env bash
# Installs what is missing, builds the daemon, the bench and the tests, then
# runs the whole test suite.
#   scripts/test.sh                    everything
#   scripts/test.sh -L unit            only the unit tests (any ctest option)
#   BUILD_DIR=... PEC_TEST_JOBS=... scripts/test.sh
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
jobs=${PEC_TEST_JOBS:-6}

"$root/scripts/install-deps.sh"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo ${PEC_CMAKE_ARGS:-} >/dev/null
cmake --build "$build" -j"$(nproc)"
# System tests mostly wait on the protocol's fixed timings, so they run
# side by side even on two cores.
ctest --test-dir "$build" --output-on-failure -j"$jobs" "$@"
