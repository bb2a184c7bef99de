// The bench's trace: every event in the order it happened, appended as one
// JSON line to the trace file, shown as one readable line to the printer,
// and kept in memory for the tests to read and wait on. The card's transfers
// to the BMC also go to a second file as the kernel's I2C trace events
// would record them, which pec-decode reads.
#pragma once

#include "pec_bench/bench.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace pec_bench {

using Printer = std::function<void(const std::string&)>;

// Thread-safe. record() calls the printer under the trace's own lock, so
// events reach the file, the printer and the readers in one order; the
// printer must not call back into the bench.
class Trace {
public:
    // A trace file that cannot be created leaves only the in-memory trace;
    // `i2c_path` "" writes no kernel-style lines.
    Trace(const std::string& path, Printer printer, const std::string& i2c_path = "");

    // Stamps the event with the time since the bench started and appends it.
    void record(TraceEvent ev);
    void note(const std::string& text);
    // Seconds since the bench started: the time record() stamps now.
    double now() const;

    // See Bench::wait_for; events before index `from` are not looked at.
    bool wait_for(const std::function<bool(const TraceEvent&)>& pred, size_t count,
                  std::chrono::milliseconds timeout, std::vector<TraceEvent>* out, size_t from = 0);
    std::vector<TraceEvent> events() const;
    std::vector<Packet> card_packets() const;
    size_t size() const;

    // The printer, for lines that are not trace events (the daemon's log).
    void print(const std::string& line) const;

private:
    struct FileCloser {
        void operator()(FILE* f) const { fclose(f); }
    };

    const std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
    const Printer printer_;
    mutable std::mutex m_;
    std::condition_variable cv_;
    std::vector<TraceEvent> events_;
    std::unique_ptr<FILE, FileCloser> file_;
    std::unique_ptr<FILE, FileCloser> i2c_file_;
};

// The JSON line of an event (without its newline).
std::string trace_json(const TraceEvent& ev);
// The readable line of an event for the live view; "" for the events that
// are only traced (line values, slave changes, closes).
std::string live_line(const TraceEvent& ev);
// Two hexadecimal digits, as addresses and fill bytes appear in the details.
std::string hex_byte(unsigned v);

} // namespace pec_bench
