#include "i2c_trace_live.h"

#include "support/fixtures.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

const char* const events[] = {"i2c_write", "i2c_read", "i2c_reply", "i2c_result"};
const std::string trace_line =
    "      pec-daemon-231     [001] .....   612.0: i2c_write: i2c-3 #0 a=008 f=0000 l=3 [03-00-01]";

// A tracefs directory as the kernel shows it with the I2C events off: each
// event's enable "0" and filter "none", but i2c_reply filtered by someone
// else; tracing off; one event line waiting in trace_pipe.
class I2C_Trace_Live_Test : public Temp_Dir_Test {
protected:
    void SetUp() override {
        Temp_Dir_Test::SetUp();
        for (const char* event : events) {
            const std::string at = dir + "/events/i2c/" + event;
            ASSERT_EQ(make_Dirs(at), 0);
            write_File(at + "/enable", "0\n");
            write_File(at + "/filter",
                       std::string(event) == "i2c_reply" ? "common_pid == 7\n" : "none\n");
        }
        write_File(dir + "/tracing_on", "0\n");
        write_File(dir + "/trace_pipe", trace_line + "\n");
    }

    // Every file the session changes, with what it holds (but tracing_on
    // when it is not a file to read).
    std::vector<std::string> get_State(bool with_tracing_on = true) const {
        std::vector<std::string> state;
        for (const char* event : events) {
            const std::string at = dir + "/events/i2c/" + event;
            state.push_back(std::string(event) + " enable " + read_File(at + "/enable"));
            state.push_back(std::string(event) + " filter " + read_File(at + "/filter"));
        }
        if (with_tracing_on)
            state.push_back("tracing_on " + read_File(dir + "/tracing_on"));
        return state;
    }

    // The state after restore(): the values as read back, "none" written
    // the way tracefs clears a filter.
    static std::vector<std::string> get_Found_State() {
        std::vector<std::string> state;
        for (const char* event : events) {
            state.push_back(std::string(event) + " enable 0");
            state.push_back(std::string(event) + " filter " +
                            (std::string(event) == "i2c_reply" ? "common_pid == 7" : "0"));
        }
        state.push_back("tracing_on 0");
        return state;
    }

    static bool is_Blocked(int signal_number) {
        sigset_t mask;
        pthread_sigmask(SIG_BLOCK, nullptr, &mask);
        return sigismember(&mask, signal_number) == 1;
    }
};

// Whichever way following ends, a stop signal or a closed output (the line
// handler refusing), the events are on for adapter 3 alone while it runs,
// and afterwards everything reads as it was found, the stop signal taken
// and no longer blocked.
TEST_F(I2C_Trace_Live_Test, PutsBackWhatItFoundWhenFollowingEnds) {
    for (const bool by_signal : {true, false}) {
        SCOPED_TRACE(by_signal ? "a stop signal" : "a closed output");
        I2C_Trace_Session session(dir);
        ASSERT_EQ(session.start(3), "");
        std::vector<std::string> running;
        std::vector<std::string> lines;
        const std::string error = session.follow([&](const std::string& text, bool too_long) {
            running = get_State();
            lines.push_back(text + (too_long ? " (too long)" : ""));
            if (by_signal)
                raise(SIGTERM);
            return by_signal;
        });
        EXPECT_EQ(error, "");
        EXPECT_EQ(lines, std::vector<std::string>{trace_line});
        std::vector<std::string> on;
        for (const char* event : events) {
            on.push_back(std::string(event) + " enable 1");
            on.push_back(std::string(event) + " filter adapter_nr == 3");
        }
        on.push_back("tracing_on 1");
        EXPECT_EQ(running, on);

        session.restore();
        EXPECT_EQ(get_State(), get_Found_State());
        EXPECT_FALSE(is_Blocked(SIGTERM));
        sigset_t pending;
        sigpending(&pending);
        EXPECT_EQ(sigismember(&pending, SIGTERM), 0);
    }
}

// A write that fails half-way (tracing_on refuses, as /dev/full does) puts
// back what was already changed, and says what failed.
TEST_F(I2C_Trace_Live_Test, PutsBackWhatItChangedWhenStartFails) {
    ASSERT_EQ(unlink((dir + "/tracing_on").c_str()), 0);
    ASSERT_EQ(symlink("/dev/full", (dir + "/tracing_on").c_str()), 0);
    I2C_Trace_Session session(dir);
    EXPECT_EQ(session.start(3), "cannot write " + dir + "/tracing_on: No space left on device");
    std::vector<std::string> found = get_Found_State();
    found.pop_back(); // tracing_on, which is /dev/full
    EXPECT_EQ(get_State(false), found);
    session.restore();
    EXPECT_FALSE(is_Blocked(SIGTERM));
}

} // namespace
