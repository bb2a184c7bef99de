// The daemon's log output: INFO lines plain on standard output, DEBUG lines
// green on standard output only with DEBUG=1, ERROR lines red on standard
// error.
#include "system/support/card_host.h"
#include "system/support/daemon_log.h"
#include "system/support/fixture_and_waits.h"

#include "support/text.h"
#include "support/waits.h"

#include <regex>

namespace systest {
namespace {

class LoggingTest : public BenchTest {};

const std::regex info_form("\\[INFO\\]\t\\[[A-Za-z0-9 ]+\\] [A-Za-z_0-9]+: [^\x1b]*");
const std::regex
    debug_form("\x1b\\[32m\\[DEBUG\\]\t\\[[A-Za-z0-9 ]+\\] [A-Za-z_0-9]+: .*\x1b\\[0m");
const std::regex
    error_form("\x1b\\[31m\\[ERROR\\]\t\\[[A-Za-z0-9 ]+\\] [A-Za-z_0-9]+: .*\x1b\\[0m");

// Without DEBUG: only INFO lines on standard output, without colour codes;
// the ERROR line red on standard error; no DEBUG line anywhere.
TEST_F(LoggingTest, WithoutDebugNoDebugLinesAndErrorsRedOnStandardError) {
    ASSERT_NO_FATAL_FAILURE(start(scenario("no-sensor")));
    ASSERT_NO_FATAL_FAILURE(wait_started(false));
    ASSERT_TRUE(bench().command("hostname bad_name")); // one more ERROR line
    ASSERT_TRUE(
        eventually([&] { return count_Of(bench().daemon_stderr(), "\n") >= 2; }, seconds(30)));
    ASSERT_TRUE(wait_main_loop_cycles(2)) << "the main loop stopped";

    std::string out = bench().daemon_stdout();
    std::string err = bench().daemon_stderr();
    ASSERT_FALSE(out.empty());
    for (const std::string& line : lines_Of(out)) {
        EXPECT_TRUE(std::regex_match(line, info_form)) << "not a plain INFO line: " << line;
    }
    EXPECT_EQ(out.find("DEBUG"), std::string::npos);
    EXPECT_EQ(out.find('\x1b'), std::string::npos);
    EXPECT_EQ(daemon_err(),
              error_line("Sensor", "init_PEC_Sensor", "Onboard Temperature Sensor not found") +
                  error_line("Config", "set_Config_Hostname",
                             "invalid hostname refused, nothing run"));
    EXPECT_EQ(out.back(), '\n');
}

// With DEBUG=1 the DEBUG lines appear from the first one on, green, on
// standard output, next to the plain INFO lines; standard error still holds
// only the red ERROR lines.
TEST_F(LoggingTest, WithDebugOneDebugLinesAreGreenOnStandardOutput) {
    ASSERT_NO_FATAL_FAILURE(start(debug_scenario("no-sensor")));
    ASSERT_NO_FATAL_FAILURE(wait_started(false));
    ASSERT_TRUE(bench().command("hostname card-dbg"));
    ASSERT_TRUE(wait_stdout("buffer_command=", 1, seconds(30)));

    std::string out = bench().daemon_stdout();
    std::string err = bench().daemon_stderr();
    size_t debug_lines = 0;
    for (const std::string& line : lines_Of(out)) {
        bool info = std::regex_match(line, info_form);
        bool debug = std::regex_match(line, debug_form);
        EXPECT_TRUE(info || debug) << "neither INFO nor DEBUG: " << line;
        debug_lines += debug ? 1 : 0;
    }
    EXPECT_GT(debug_lines, 10u);
    // DEBUG lines of the link thread, the main loop and the request handler,
    // with their trailing blanks.
    for (const std::string& line :
         {debug_line("I2C Packet", "I2C_BMC_Packet_Thread", "thread start"),
          debug_line("I2C Packet", "set_I2C_Packet_Write", "Write Packet length: 36"),
          debug_line("main", "update_Broadcast_Packet",
                     "Memory Total Size: " + std::to_string(memory_total_gib())),
          debug_line("I2C Packet", "I2C_BMC_Packet_Hander", "HOSTNAME=card-dbg "),
          debug_line("Config", "set_Config_Hostname", "buffer=card-dbg  "),
          debug_line("Config", "set_Config_Hostname", "hostname=card-dbg  ")}) {
        EXPECT_NE(daemon_out().find(line), std::string::npos) << "missing: " << line;
    }
    EXPECT_NE(out.find("buffer_command=hostnamectl set-hostname"), std::string::npos);
    // The first DEBUG line comes before the banner: the switch is on from
    // the start.
    EXPECT_LT(out.find("[DEBUG]"), out.find("Halvorne LN PEC Main Daemon"));
    for (const std::string& line : lines_Of(err)) {
        EXPECT_TRUE(std::regex_match(line, error_form)) << "not a red ERROR line: " << line;
    }
    EXPECT_EQ(daemon_err(),
              error_line("Sensor", "init_PEC_Sensor", "Onboard Temperature Sensor not found"));
}

} // namespace
} // namespace systest
