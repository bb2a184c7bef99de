// The bench's names as the system tests use them.
#pragma once

#include "pec_bench/bench.h"

#include <chrono>

namespace systest {

using pec_bench::Bench;
using pec_bench::Bytes;
using pec_bench::Packet;
using pec_bench::Scenario;
using pec_bench::TraceEvent;
namespace proto = pec_bench::proto;

using std::chrono::milliseconds;
using std::chrono::seconds;

} // namespace systest
