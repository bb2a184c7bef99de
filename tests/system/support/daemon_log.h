// The daemon's log as the system tests read it: its lines as the daemon
// writes them, and its main-loop cycles as DEBUG output shows them.
//
// With DEBUG=1 and a sensor, every cycle writes "temperature: ..." right
// before its report step, the description set writes "Memory Total Size"
// while it is built, and the link thread writes "Write Packet length: N"
// after each packet (about 220 ms after it was queued, well inside the 2 s
// the cycle then sleeps). Cutting standard output at the temperature lines
// therefore gives, per cycle, what the cycle sent.
#pragma once

#include <string>
#include <vector>

namespace systest {

// One log line, line feed included, by its level and text (as the
// fixture's daemon_out() and daemon_err() give them, without colour codes).
std::string info_line(const std::string& tag, const std::string& function, const std::string& text);
std::string error_line(const std::string& tag, const std::string& function,
                       const std::string& text);
std::string debug_line(const std::string& tag, const std::string& function,
                       const std::string& text);

// The DEBUG line each main-loop cycle writes just before its report step.
extern const char* const cycle_line;
// The DEBUG line the link writes after each packet it wrote.
extern const char* const write_line;

struct Cycle {
    bool description = false; // the cycle built a description set
    std::vector<int> writes;  // lengths of the packets written during the cycle
    std::string temperature;  // the value the cycle read
};

// cycles[0] is everything before the first cycle (start-up); cycles[k] is
// the k-th loop cycle; `out` is standard output without colour codes.
std::vector<Cycle> cycles_of(const std::string& out);
// Whether the cycle wrote a packet of `length` bytes.
bool wrote(const Cycle& c, int length);
std::string show(const std::vector<Cycle>& cycles);

} // namespace systest
