#!/usr/bin/env bash
# Cross-builds everything for the card's CPU (64-bit Arm) on this x86
# machine: the daemon, the bench (pec_bmc_sim, the interposer) and the tests,
# with the target's libraries from the arm64 sysroot. The programs run here
# under qemu-aarch64 (ctest in the build tree does that by itself; see
# scripts/test-arm64.sh for the whole arm64 test run).
#
#   scripts/cross-build-arm64.sh [BUILD_DIR]     default: build-arm64
#
# PEC_CMAKE_ARGS adds CMake options; PEC_ARM64_SYSROOT names the sysroot
# (default: scripts/arm64-sysroot.sh's).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build-arm64}

"$root/scripts/install-deps.sh" crossbuild-essential-arm64 qemu-user-static
sysroot=$("$root/scripts/arm64-sysroot.sh")
cmake -S "$root" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/arm64-toolchain.cmake" \
    -DPEC_ARM64_SYSROOT="$sysroot" -DCMAKE_BUILD_TYPE=RelWithDebInfo ${PEC_CMAKE_ARGS:-} >/dev/null
cmake --build "$build" -j"$(nproc)"
