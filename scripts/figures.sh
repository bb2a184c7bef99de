#!/usr/bin/env bash
# The daemon's figures: installs what is missing, builds the daemon, the
# bench and the figures program into build/, then runs the daemon on the
# bench and prints one table (as root; without root only the in-process
# figures are measured). The table goes to standard output, progress and
# build output to standard error.
#   scripts/figures.sh                 the full form (about 50 minutes)
#   scripts/figures.sh --short         the short form (about a minute; CI)
#   scripts/figures.sh --idle 300 --only idle,link
#   BUILD_DIR=... scripts/figures.sh
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}

"$root/scripts/install-deps.sh" >&2
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo ${PEC_CMAKE_ARGS:-} >&2
cmake --build "$build" --target pec_bench_figures -j"$(nproc)" >&2
exec "$build/bench/figures/pec_bench_figures" "$@"
