#include "log.h"

#include "log_capture.h"
#include "os_wrappers.h"
#include "support/shell.h"
#include "testkit/files.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

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
// returns what the probe test below printed. `environment` goes before it
// ("NAME=value ...").
std::string probe_Debug_Switch(const char* value, const char* redirect = "2>&1",
                               const std::string& environment = "") {
    std::string command =
        value == nullptr ? "env -u DEBUG " : "env DEBUG='" + std::string(value) + "' ";
    command += environment + " ";
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

// systemd names the journal's stream by "device:inode" in JOURNAL_STREAM: a
// stream that is it gets each line's priority first and no colour; any
// other stream keeps the console bytes, whatever JOURNAL_STREAM says.
TEST(Log, JournalStreamGetsPrioritiesAndNoColour) {
    const std::string path = testing::TempDir() + "log_journal_stream";
    write_File(path, "");
    struct stat status = {};
    ASSERT_EQ(stat(path.c_str(), &status), 0);
    const std::string id = std::to_string(status.st_dev) + ":" + std::to_string(status.st_ino);
    const std::string other =
        std::to_string(status.st_dev) + ":" + std::to_string(status.st_ino + 1);

    File_Ptr file(fopen(path.c_str(), "r"));
    ASSERT_TRUE(file);
    struct Row {
        std::string journal_stream;
        bool journal;
    };
    const Row rows[] = {{id, true},  {other, false},     {id + ":1", false}, {id + "x", false},
                        {"", false}, {"journal", false}, {":" + id, false}};
    for (const Row& row : rows)
        EXPECT_EQ(is_Journal_Stream(fileno(file.get()), row.journal_stream.c_str()), row.journal)
            << row.journal_stream;
    EXPECT_FALSE(is_Journal_Stream(fileno(file.get()), nullptr));
    EXPECT_FALSE(is_Journal_Stream(-1, id.c_str()));

    // The whole program with both streams on that file, and then with a
    // JOURNAL_STREAM that names another stream.
    const char* const journal_lines[] = {"\n<7>[DEBUG]\t[Test] TestBody: first line\n",
                                         "\n<6>[INFO]\t[Test] TestBody: to the console\n",
                                         "\n<3>[ERROR]\t[Test] TestBody: to the console\n"};
    const char* const console_lines[] = {
        "\n\033[32m[DEBUG]\t[Test] TestBody: first line\033[0m\n",
        "\n[INFO]\t[Test] TestBody: to the console\n",
        "\n\033[31m[ERROR]\t[Test] TestBody: to the console\033[0m\n"};
    for (bool journal : {true, false}) {
        write_File(path, "");
        probe_Debug_Switch("1", (">>" + path + " 2>&1").c_str(),
                           "JOURNAL_STREAM=" + (journal ? id : other));
        const std::string text = read_File(path);
        for (const char* line : journal ? journal_lines : console_lines)
            EXPECT_NE(text.find(line), std::string::npos) << journal << text;
        EXPECT_EQ(text.find('\033') == std::string::npos, journal) << text;
    }
    remove(path.c_str());
}

TEST(Log, EscapedTextForLines) {
    struct Row {
        std::string in;
        size_t max_length;
        const char* out;
    };
    const Row rows[] = {
        {"192.168.0.1", 256, "192.168.0.1"},
        {"a\nfake [ERROR] line", 256, "a\\x0Afake [ERROR] line"},
        {"\033[2Jcleared", 256, "\\x1B[2Jcleared"},
        {"tab\there\r", 256, "tab\\x09here\\x0D"},
        {"\x7f\x80\xff~ ", 256, "\\x7F\\x80\\xFF~ "},
        {"back\\slash", 256, "back\\slash"},
        {"abcdef", 4, "abcd..."},
        {"abcd", 4, "abcd"},
        {"", 256, ""},
    };
    for (const Row& row : rows)
        EXPECT_EQ(get_Log_Escaped(row.in.c_str(), row.max_length), row.out) << row.in;
    EXPECT_EQ(get_Log_Escaped(nullptr), "");
}

// One repeating error over a timeline: each row is an occurrence (text) or
// the end of the condition (nullptr) at a time, and what the limiter says.
TEST(Log, RepeatLimiterFirstSummaryAndClear) {
    const int64_t minute = Log_Repeat_Limiter::summary_interval_ms;
    struct Row {
        const char* text;
        int64_t at;
        int action; // a Log_Repeat_Limiter::Action, or for a clear: 1 = line due
        unsigned repeats;
    };
    const Row rows[] = {
        {"Read Failed, EIO", 0, Log_Repeat_Limiter::WRITE_FIRST, 0},
        {"Read Failed, EIO", 20, Log_Repeat_Limiter::HOLD, 0},
        {"Read Failed, EIO", minute - 1, Log_Repeat_Limiter::HOLD, 0},
        {"Read Failed, EIO", minute, Log_Repeat_Limiter::WRITE_SUMMARY, 3},
        {"Read Failed, EIO", minute + 20, Log_Repeat_Limiter::HOLD, 0},
        {"Read Failed, EIO", 2 * minute + 5, Log_Repeat_Limiter::WRITE_SUMMARY, 2},
        {nullptr, 2 * minute + 30, 1, 5},
        {nullptr, 2 * minute + 40, 0, 0},
        // Once, then gone: no all-clear line for a single failure.
        {"Read Failed, EIO", 3 * minute, Log_Repeat_Limiter::WRITE_FIRST, 0},
        {nullptr, 3 * minute + 20, 0, 0},
        // Another text starts afresh.
        {"Read Failed, EIO", 4 * minute, Log_Repeat_Limiter::WRITE_FIRST, 0},
        {"Read Failed, EBADF", 4 * minute + 20, Log_Repeat_Limiter::WRITE_FIRST, 0},
        {"Read Failed, EBADF", 4 * minute + 40, Log_Repeat_Limiter::HOLD, 0},
    };
    Log_Repeat_Limiter limiter;
    for (const Row& row : rows) {
        unsigned repeats = 0;
        int action = row.text != nullptr ? limiter.note(row.text, row.at, &repeats)
                                         : (limiter.clear(&repeats) ? 1 : 0);
        EXPECT_EQ(action, row.action) << "at " << row.at;
        if (row.action == Log_Repeat_Limiter::WRITE_SUMMARY || row.text == nullptr) {
            EXPECT_EQ(repeats, row.repeats) << "at " << row.at;
        }
    }

    // The lines: the first keeps its text, the all-clear carries the count.
    Log_Capture log;
    Log_Repeat_Limiter line_limiter;
    for (int pass = 0; pass < 3; pass++)
        LOG_ERROR_LIMITED(line_limiter, "Read Failed, %s", "Input/output error");
    LOG_ERROR_CLEARED(line_limiter);
    LOG_ERROR_CLEARED(line_limiter);
    EXPECT_EQ(log.text(),
              "\033[31m[ERROR]\t[Test] TestBody: Read Failed, Input/output error\033[0m\n"
              "[INFO]\t[Test] TestBody: Read Failed, Input/output error: cleared after "
              "2 repeats\n");
}
