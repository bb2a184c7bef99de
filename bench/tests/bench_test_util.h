// Helpers of the bench's own tests.
#pragma once

#include "pec_bench/bench.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/wait.h>
#include <vector>

namespace bench_test {

// Runs the fake card with the interposer preloaded against a socket; returns
// its output lines. A sanitizer build of the fake card must accept the
// interposer ahead of its runtime.
inline std::vector<std::string> run_card(const std::string& socket, const std::string& steps) {
    std::string cmd = "ASAN_OPTIONS=verify_asan_link_order=0 PEC_BENCH_SOCKET='" + socket +
                      "' LD_PRELOAD='" BENCH_INTERPOSER "' '" + std::string(BENCH_FAKE_CARD) +
                      "' " + steps + " 2>&1";
    std::vector<std::string> lines;
    FILE* p = popen(cmd.c_str(), "r");
    if (p == nullptr) {
        return lines;
    }
    char buf[8192];
    while (fgets(buf, sizeof(buf), p) != nullptr) {
        std::string l = buf;
        if (!l.empty() && l.back() == '\n') {
            l.pop_back();
        }
        lines.push_back(l);
    }
    pclose(p);
    return lines;
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
