#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (AddressSanitizer and
# UndefinedBehaviorSanitizer on) and runs each for a while, starting from the
# seed corpus in fuzz/corpus. What a run finds is kept in the build tree, not
# in the repository.
#   scripts/fuzz.sh                      every target, 60 s each
#   scripts/fuzz.sh 3600 netplan_document one target for an hour
#   FUZZ_JOBS=2 scripts/fuzz.sh 18000    two processes per target, 5 hours each
# A crash leaves its input in <build>/fuzz-run/<target>/ and fails the run;
# replay it with <build>/fuzz/fuzz_<target> <file>.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${FUZZ_BUILD_DIR:-$root/build-fuzz}
seconds=${1:-60}
shift || true
targets=("$@")
[[ ${#targets[@]} -gt 0 ]] || targets=(validators config_file netplan_document wire_decode packet_handler
    packet_handler_processes)

CC=clang CXX=clang++ cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DPEC_FUZZ=ON -DPEC_BUILD_TESTS=OFF -DPEC_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target "${targets[@]/#/fuzz_}"

# "N runs in S s, R exec/s" of a target's run: the runs its jobs' final
# stats count (with -jobs, main.log repeats what each fuzz-<n>.log holds),
# over the seconds since `start`.
run_summary() {
    local work=$1 start=$2 logs seconds
    logs=("$work"/fuzz-*.log)
    [[ -e ${logs[0]} ]] || logs=("$work/main.log")
    seconds=$(($(date +%s) - start))
    cat "${logs[@]}" | awk -v s="$seconds" '/stat::number_of_executed_units/ {n += $2}
        END {printf "%d runs in %d s, %d exec/s", n, s, (s > 0 ? n / s : 0)}'
}

status=0
for target in "${targets[@]}"; do
    if [[ $target == packet_handler* && $(id -u) -ne 0 ]]; then
        echo "fuzz: $target skipped: it needs root for a private mount namespace"
        continue
    fi
    corpus="$build/fuzz-corpus/$target"
    work="$build/fuzz-run/$target" # logs of the run (one per job with FUZZ_JOBS)
    rm -rf "$work"
    mkdir -p "$corpus" "$work"
    start=$(date +%s)
    if (cd "$work" && "$build/fuzz/fuzz_$target" -max_total_time="$seconds" \
        -print_final_stats=1 -jobs="${FUZZ_JOBS:-1}" -workers="${FUZZ_JOBS:-1}" \
        -artifact_prefix="$work/" "$corpus" "$root/fuzz/corpus/$target" >main.log 2>&1); then
        echo "fuzz: $target: $(run_summary "$work" "$start"), nothing found"
    else
        echo "fuzz: $target FOUND A FAILURE (logs and the input in $work):"
        cat "$work"/*.log | grep -E 'ERROR|SUMMARY|Test unit written' | head -20
        status=1
    fi
done
exit $status
