// The request-script language of the simulated BMC: one line is one request
// to the card (a packet queued for it) or one action of the bench (a fault,
// a temperature, a pause, a note). script.cpp holds the verbs as a table.
#pragma once

#include "board.h"
#include "sensor_tree.h"
#include "trace.h"

#include <cstdint>
#include <mutex>
#include <random>
#include <string>

namespace pec_bench {

// The parts a script acts on, and what it keeps from line to line. Lines
// may come from several threads at once (a script and a terminal).
class Script {
public:
    Script(Board& b, SensorTree& s, Trace& t) : board(b), sensor(s), trace(t) {}

    // See Bench::command.
    bool command(const std::string& line, std::string* error);

    uint8_t node() const;
    void set_node(uint8_t node);
    Bytes random_bytes(size_t n);

    Board& board;
    SensorTree& sensor;
    Trace& trace;

private:
    mutable std::mutex m_;
    uint8_t node_ = 1; // node id the BMC addresses its requests to
    std::mt19937 rng_{12345};
};

} // namespace pec_bench
