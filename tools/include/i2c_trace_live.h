// pec-decode --live: the kernel's I2C transfer events of one adapter,
// turned on in tracefs for as long as they are followed. Each event's
// "enable" and "filter" and the global "tracing_on" are read first and
// written back as they were found when the session ends, whatever happened
// in between.
#pragma once

#include "wire_decode.h"

#include <signal.h>

#include <string>
#include <vector>

class I2C_Trace_Session {
public:
    // `root`: the tracefs directory; "" finds it (/sys/kernel/tracing, then
    // /sys/kernel/debug/tracing).
    explicit I2C_Trace_Session(std::string root = "");
    ~I2C_Trace_Session();
    I2C_Trace_Session(const I2C_Trace_Session&) = delete;
    I2C_Trace_Session& operator=(const I2C_Trace_Session&) = delete;

    // Turns on i2c_write, i2c_read, i2c_reply and i2c_result for `adapter`
    // only. "" on success, else what failed (and nothing is left changed).
    // SIGINT, SIGTERM and SIGHUP wait for follow() from here on.
    std::string start(int adapter);
    // Hands each line of trace_pipe to `line` until SIGINT, SIGTERM or SIGHUP
    // arrives, or `line` returns false. "" when it ended that way, else
    // what failed.
    std::string follow(const Wire_Line_Splitter::Handler& line);
    // Puts back what start() changed, in reverse order, then the signal
    // mask; the destructor calls it.
    void restore();
    // The trace_pipe that follow() reads.
    std::string get_Pipe_Path() const { return root_ + "/trace_pipe"; }

private:
    struct Saved_Value {
        std::string path;
        std::string value; // as it is written back
    };

    std::string root_;
    std::vector<Saved_Value> saved_;
    bool signals_blocked_ = false;
    sigset_t old_signals_{}; // the mask before start()
};
