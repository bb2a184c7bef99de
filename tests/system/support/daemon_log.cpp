// The daemon's log as the system tests read it.
#include "system/support/daemon_log.h"

#include "support/text.h"

#include <algorithm>
#include <cstdlib>

namespace systest {

const char* const cycle_line = "[Sensor] update_Temperature: temperature: ";
const char* const write_line = "[I2C Packet] set_I2C_Packet_Write: Write Packet length: ";

std::string info_line(const std::string& tag, const std::string& function,
                      const std::string& text) {
    return log_Line("INFO", "[" + tag + "] " + function + ": " + text);
}

std::string error_line(const std::string& tag, const std::string& function,
                       const std::string& text) {
    return log_Line("ERROR", "[" + tag + "] " + function + ": " + text);
}

std::string debug_line(const std::string& tag, const std::string& function,
                       const std::string& text) {
    return log_Line("DEBUG", "[" + tag + "] " + function + ": " + text);
}

std::vector<Cycle> cycles_of(const std::string& out) {
    const std::string cycle_mark = cycle_line;
    const std::string set_mark = "[main] update_Broadcast_Packet: Memory Total Size: ";
    const std::string write_mark = write_line;
    std::vector<Cycle> cycles(1);
    for (const std::string& line : lines_Of(out)) {
        size_t at = 0;
        if ((at = line.find(cycle_mark)) != std::string::npos) {
            cycles.emplace_back();
            std::string v = line.substr(at + cycle_mark.size());
            cycles.back().temperature = v;
        } else if (line.find(set_mark) != std::string::npos) {
            cycles.back().description = true;
        } else if ((at = line.find(write_mark)) != std::string::npos) {
            cycles.back().writes.push_back(atoi(line.c_str() + at + write_mark.size()));
        }
    }
    return cycles;
}

bool wrote(const Cycle& c, int length) {
    return std::find(c.writes.begin(), c.writes.end(), length) != c.writes.end();
}

std::string show(const std::vector<Cycle>& cycles) {
    std::string s;
    for (size_t i = 0; i < cycles.size(); ++i) {
        s += "  cycle " + std::to_string(i) + ": t=" + cycles[i].temperature +
             (cycles[i].description ? " SET" : "") + " writes";
        for (int w : cycles[i].writes) {
            s += " " + std::to_string(w);
        }
        s += "\n";
    }
    return s;
}

} // namespace systest
