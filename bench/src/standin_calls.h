// The record of the stand-in programs' calls (calls.jsonl), which the
// stand-ins write one JSON line a call: {"program":"P","args":["a","b"],"status":N}.
#pragma once

#include "pec_bench/bench.h"

#include <string>
#include <vector>

namespace pec_bench {

// The calls in `text`, in order; lines without a program are skipped.
std::vector<StandinCall> parse_standin_calls(const std::string& text);

} // namespace pec_bench
