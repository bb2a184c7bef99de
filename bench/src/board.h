// The simulated BMC and board as the card observes them on its devices: the
// packets the BMC has queued for the card, the read feedback line, what
// answers at which I2C address, and the faults injected on request. Each
// answer records its trace event. One lock guards it all: the device server's
// thread answers the card while the tests and scripts queue and set faults.
#pragma once

#include "pec_bench/bench.h"
#include "trace.h"

#include <cstdint>
#include <deque>
#include <linux/i2c.h>
#include <mutex>

namespace pec_bench {

// The BMC's slave address on the card's bus.
constexpr int bmc_slave = 8;

class Board {
public:
    Board(const Scenario& scenario, Trace& trace);

    // Queues a packet for the card and pulls the feedback line low. deliver:
    // bytes handed over on the read (0: all).
    void queue(const Bytes& raw, size_t deliver);
    Faults faults() const;
    void set_faults(const Faults& f);
    int line_reads() const;

    // Answers to the card; results are byte counts or minus errno, as the
    // kernel gives them. `slave` is the selected address (-1: none).
    int card_write(int slave, const Bytes& bytes);
    int card_read(int slave, size_t n, Bytes* out);
    int smbus(int slave, bool read, int size, i2c_smbus_data* data);
    // The value of `line` as a read of it sees it, or minus errno.
    int line_value(unsigned line);

private:
    struct Outgoing {
        Bytes bytes;
        size_t deliver; // bytes handed over on the read
    };

    int take_write_fault(size_t len);
    int read_queued(size_t n, Bytes* out, TraceEvent* ev);
    int read_idle(size_t n, Bytes* out, TraceEvent* ev) const;
    int feedback_level() const { return to_card_.empty() && !faults_.line_stuck_low ? 1 : 0; }

    const Scenario& scenario_;
    Trace& trace_;
    mutable std::mutex m_;
    std::deque<Outgoing> to_card_;
    Faults faults_;
    int line_reads_ = 0;
    int last_line_value_ = -1;
};

} // namespace pec_bench
