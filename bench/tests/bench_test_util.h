// Helpers of the bench's own tests.
#pragma once

#include "pec_bench/bench.h"
#include "support/shell.h"
#include "support/text.h"

#include <string>
#include <vector>

namespace bench_test {

// Runs the fake card with the interposer preloaded against a socket; returns
// its output lines. A sanitizer build of the fake card must accept the
// interposer ahead of its runtime.
inline std::vector<std::string> run_card(const std::string& socket, const std::string& steps) {
    std::string output;
    run_Shell("ASAN_OPTIONS=verify_asan_link_order=0 PEC_BENCH_SOCKET=" + shell_Quote(socket) +
                  " LD_PRELOAD=" + shell_Quote(BENCH_INTERPOSER) + " " +
                  shell_Quote(BENCH_FAKE_CARD) + " " + steps + " 2>&1",
              &output);
    return lines_Of(output);
}

inline bool has_event(const std::vector<pec_bench::TraceEvent>& t, const std::string& ev,
                      const std::string& detail_part = "") {
    for (const auto& e : t) {
        if (e.event == ev && e.detail.find(detail_part) != std::string::npos) {
            return true;
        }
    }
    return false;
}

} // namespace bench_test
