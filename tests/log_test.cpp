#include "log.h"

#include "log_capture.h"
#include "support/files.h"
#include "support/shell.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

static const char* const __log_tag = "Test";

namespace {

int evaluated = 0;
int count_Evaluation() {
    return ++evaluated;
}

void write_All_Levels() {
    LOG_INFO("info %d", 1);
    LOG_WARN("warn %s", "two");
    LOG_ERROR("error %c", '3');
    LOG_DEBUG("debug  ");
}

// Runs this test program again with DEBUG set to `value` (or unset) and
// returns what the probe test below printed.
std::string probe_Debug_Switch(const char* value, const char* redirect = "2>&1") {
    std::string command =
        value == nullptr ? "env -u DEBUG " : "env DEBUG='" + std::string(value) + "' ";
    command += "/proc/self/exe --gtest_filter=LogProbe.PrintDebugSwitch ";
    command += redirect;
    // /proc/self/exe of the shell would be the shell: resolve it here.
    char self[4096] = {};
    ssize_t length = readlink("/proc/self/exe", self, sizeof(self) - 1);
    if (length <= 0)
        return "";
    command.replace(command.find("/proc/self/exe"), 14, self);
    std::string output;
    run_Shell(command, &output);
    return output;
}

} // namespace

TEST(LogProbe, PrintDebugSwitch) {
    printf("debug switch at load: %d\n", get_Debug_Log_Status() ? 1 : 0);
    LOG_DEBUG("first line");
    LOG_INFO("to the console");
    LOG_ERROR("to the console");
}

TEST(Log, DebugSwitchReadFromEnvironmentAtLoad) {
    const std::string on = probe_Debug_Switch("1");
    EXPECT_NE(on.find("debug switch at load: 1"), std::string::npos) << on;
    EXPECT_NE(on.find("\033[32m[DEBUG]\t[Test] TestBody: first line\033[0m\n"), std::string::npos)
        << on;
    for (const char* value : {"0", "11", "true", "", " 1"}) {
        const std::string off = probe_Debug_Switch(value);
        EXPECT_NE(off.find("debug switch at load: 0"), std::string::npos) << value << off;
        EXPECT_EQ(off.find("[DEBUG]"), std::string::npos) << value << off;
    }
    const std::string unset = probe_Debug_Switch(nullptr);
    EXPECT_NE(unset.find("debug switch at load: 0"), std::string::npos) << unset;
}

TEST(Log, LineFormatsThroughAFile) {
    Log_Capture log;
    set_Debug_Log(true);
    write_All_Levels();
    LOG_ERROR("");
    set_Debug_Log(false);
    EXPECT_EQ(log.text(), "[INFO]\t[Test] write_All_Levels: info 1\n"
                          "\033[33m[WARN]\t[Test] write_All_Levels: warn two\033[0m\n"
                          "\033[31m[ERROR]\t[Test] write_All_Levels: error 3\033[0m\n"
                          "\033[32m[DEBUG]\t[Test] write_All_Levels: debug  \033[0m\n"
                          "\033[31m[ERROR]\t[Test] TestBody: \033[0m\n");
}

TEST(Log, SwitchedOffLevelsEvaluateNothing) {
    Log_Capture log;
    set_Debug_Log(false);
    set_Info_Log(false);
    set_Warn_Log(false);
    set_Error_Log(false);
    evaluated = 0;
    LOG_INFO("%d", count_Evaluation());
    LOG_WARN("%d", count_Evaluation());
    LOG_ERROR("%d", count_Evaluation());
    LOG_DEBUG("%d", count_Evaluation());
    EXPECT_EQ(evaluated, 0);
    EXPECT_FALSE(get_Info_Log_Status() || get_Warn_Log_Status() || get_Error_Log_Status() ||
                 get_Debug_Log_Status());
    set_Info_Log(true);
    set_Warn_Log(true);
    set_Error_Log(true);
    EXPECT_EQ(log.text(), "");
}

TEST(Log, OutputFileSwitching) {
    const std::string first = testing::TempDir() + "log_first.txt";
    const std::string second = testing::TempDir() + "log_second.txt";
    ASSERT_EQ(set_Log_Output_File(first.c_str(), "w"), 0);
    EXPECT_EQ(get_stdout(), get_stderr());
    LOG_ERROR("to first");
    ASSERT_EQ(set_Log_Output_File(second.c_str(), "w"), 0);
    LOG_INFO("to second");

    // A path that cannot be opened gives 1 and the console again.
    EXPECT_EQ(set_Log_Output_File("/nonexistent-dir/log.txt", "w"), 1);
    EXPECT_EQ(get_stdout(), stdout);
    EXPECT_EQ(get_stderr(), stderr);

    EXPECT_EQ(read_File(first), "\033[31m[ERROR]\t[Test] TestBody: to first\033[0m\n");
    EXPECT_EQ(read_File(second), "[INFO]\t[Test] TestBody: to second\n");
    remove(first.c_str());
    remove(second.c_str());
}

TEST(Log, ConsoleStreamsThroughAPipe) {
    // Default streams: INFO without colour on standard output, ERROR in red
    // on standard error, DEBUG (when on) green on standard output.
    const std::string out = probe_Debug_Switch("1", "2>/dev/null");
    EXPECT_NE(out.find("\n[INFO]\t[Test] TestBody: to the console\n"), std::string::npos) << out;
    EXPECT_NE(out.find("\033[32m[DEBUG]\t[Test] TestBody: first line\033[0m\n"), std::string::npos);
    EXPECT_EQ(out.find("[ERROR]"), std::string::npos) << out;
    const std::string err = probe_Debug_Switch("1", "2>&1 >/dev/null");
    EXPECT_EQ(err, "\033[31m[ERROR]\t[Test] TestBody: to the console\033[0m\n");
}
