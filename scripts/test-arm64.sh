#!/usr/bin/env bash
# The arm64 build tested under emulation (as root): every unit test of the
# cross-built tree under qemu-aarch64, then the system tests with the
# cross-built daemon and interposer under qemu-aarch64 on the bench, the
# simulator and the test programs native.
#
#   scripts/test-arm64.sh [ARM64_BUILD_DIR [NATIVE_BUILD_DIR]]
#       defaults: build-arm64 (made by scripts/cross-build-arm64.sh) and build
#   PEC_ARM64_SYSTEM_TESTS=REGEX   only the system tests whose name matches
#   PEC_TEST_JOBS=N                tests side by side (default 6)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
arm64=${1:-$root/build-arm64}
native=${2:-$root/build}
jobs=${PEC_TEST_JOBS:-6}

# ctest counts a test that skipped but does not show why: print each reason.
print_skips() {
    awk '/: Skipped$/ { grab = 1; reason = ""; next }
         grab && /^\[  SKIPPED \]/ { print "skipped: " $4 ":" reason; grab = 0; next }
         grab { reason = reason " " $0 }' "$1/Testing/Temporary/LastTest.log"
}

"$root/scripts/install-deps.sh" qemu-user-static
sysroot=$("$root/scripts/arm64-sysroot.sh")
# Every qemu-aarch64 started below, directly or by a test, loads the arm64
# loader and libraries from the sysroot.
export QEMU_LD_PREFIX="$sysroot"

# arm64 programs that the tests start (the daemon in the bench's sandbox)
# reach qemu through binfmt_misc. Debian's rule has the F flag: the
# interpreter is opened at registration, so it also serves inside the
# bench's mount namespaces.
binfmt=/proc/sys/fs/binfmt_misc
if ! grep -qx enabled "$binfmt/qemu-aarch64" 2>/dev/null; then
    if [[ $(id -u) -ne 0 ]]; then
        echo "test-arm64: qemu-aarch64 is not registered with binfmt_misc; that needs root" >&2
        exit 1
    fi
    mountpoint -q "$binfmt" || mount -t binfmt_misc binfmt_misc "$binfmt"
    if [[ -e "$binfmt/qemu-aarch64" ]]; then
        echo 1 >"$binfmt/qemu-aarch64"
    else
        grep -v '^#' /usr/lib/binfmt.d/qemu-aarch64.conf >"$binfmt/register"
    fi
fi

status=0
echo "test-arm64: unit tests of $arm64 under qemu-aarch64"
ctest --test-dir "$arm64" -L unit --output-on-failure -j"$jobs" --timeout 300 || status=1
print_skips "$arm64"

# The system tests of the native tree, pointed at the arm64 daemon and
# interposer. The interposer is preloaded into the daemon and into the
# host's shells it starts: the loader of each picks its own copy through
# $PLATFORM.
cmake -S "$root" -B "$native" >/dev/null
cmake --build "$native" -j"$(nproc)" >/dev/null
platforms="$arm64/bench/platforms"
mkdir -p "$platforms/$(uname -m)" "$platforms/aarch64"
ln -sfn "$native/bench/libpec_bench_interposer.so" "$platforms/$(uname -m)/"
ln -sfn "$arm64/bench/libpec_bench_interposer.so" "$platforms/aarch64/"
echo "test-arm64: system tests with $arm64/pec-daemon under qemu-aarch64"
PEC_BENCH_DAEMON="$arm64/pec-daemon" \
    PEC_BENCH_INTERPOSER="$platforms/\$PLATFORM/libpec_bench_interposer.so" \
    ctest --test-dir "$native" -L system -R "${PEC_ARM64_SYSTEM_TESTS:-.}" --output-on-failure \
    -j"$jobs" || status=1
print_skips "$native"
exit "$status"
