#include "extra_command_handling.h"

#include "log_capture.h"
#include "support/fixtures.h"
#include "support/text.h"
#include "support/waits.h"
#include "testkit/files.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <chrono>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

// A fake systemctl in front of PATH that records its calls and answers
// is-active from a file.
class Fake_Systemctl : public Fake_Bin_Test {
protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(Fake_Bin_Test::SetUp());
        install_Fake("systemctl",
                     "if [ \"$1\" = is-active ]; then cat @DIR@/answer 2>/dev/null; fi");
    }
    void answer(const char* text) { write_File(dir + "/answer", text); }
};

} // namespace

TEST(SetCommand, KeepsTheLastLine) {
    char result[128];
    memset(result, 0, sizeof(result));
    EXPECT_EQ(set_Command("printf 'first\\nsecond\\n'", result, sizeof(result)), 0);
    EXPECT_STREQ(result, "second\n");

    // A last line longer than the buffer leaves its final piece.
    char small[8] = {};
    EXPECT_EQ(set_Command("printf 'abcdefghijklmnopq\\n'", small, sizeof(small)), 0);
    EXPECT_STREQ(small, "opq\n");

    // Nothing printed: the buffer keeps what it held.
    strcpy(result, "previous");
    EXPECT_EQ(set_Command("true", result, sizeof(result)), 0);
    EXPECT_STREQ(result, "previous");

    // The exit status is not part of the result.
    EXPECT_EQ(set_Command("echo failed; exit 3", result, sizeof(result)), 0);
    EXPECT_STREQ(result, "failed\n");

    // The whole output, for callers that read every line.
    std::string all;
    EXPECT_EQ(get_Command_Output("printf 'first\\nsecond\\nlast'", &all), 0);
    EXPECT_EQ(all, "first\nsecond\nlast");

    // A one-byte buffer holds only the terminator, and the call still ends.
    char one[1] = {'x'};
    EXPECT_EQ(set_Command("echo something", one, sizeof(one)), 0);
    EXPECT_EQ(one[0], '\0');
}

TEST(SetCommand, RunsWithoutReadingWhenNoBuffer) {
    const std::string marker = testing::TempDir() + "set_command_marker";
    remove(marker.c_str());
    const std::string command = "echo out; touch '" + marker + "'";
    EXPECT_EQ(set_Command(command.c_str(), nullptr, 128), 0);
    EXPECT_EQ(access(marker.c_str(), F_OK), 0);
    remove(marker.c_str());
    char result[16] = "kept";
    EXPECT_EQ(set_Command(command.c_str(), result, 0), 0);
    EXPECT_STREQ(result, "kept");
    EXPECT_EQ(access(marker.c_str(), F_OK), 0);
    remove(marker.c_str());
}

TEST(SetCommand, TrimTakesOneLine) {
    struct Case {
        const char* in;
        const char* out;
    };
    const Case cases[] = {{"active\n", "active"}, {"\n", ""},         {"a\r\nb", "a"},
                          {"x\ny\r", "x"},        {"plain", "plain"}, {"", ""}};
    for (const Case& c : cases) {
        char text[32];
        snprintf(text, sizeof(text), "%s", c.in);
        trim_Command_Output(text);
        EXPECT_STREQ(text, c.out) << c.in;
    }
}

TEST_F(Fake_Systemctl, ServiceVerbs) {
    EXPECT_EQ(set_Systemd_Service("networking.service", RESTART), 0);
    EXPECT_EQ(set_Systemd_Service("ssh", START), 0);
    EXPECT_EQ(set_Systemd_Service("ssh", STATUS), 0);
    EXPECT_EQ(set_Systemd_Service("ssh", INVALID), -1);
    EXPECT_EQ(set_Systemd_Service("ssh", static_cast<Systemd_Command>(40)), -1);
    EXPECT_EQ(get_Calls(), "systemctl[restart][networking.service]\nsystemctl[start][ssh]\n"
                           "systemctl[status][ssh]\n");
}

TEST_F(Fake_Systemctl, ServiceStatus) {
    answer("active\n");
    EXPECT_TRUE(get_Systemd_Service_Status("NetworkManager"));
    answer("inactive\n");
    EXPECT_FALSE(get_Systemd_Service_Status("NetworkManager"));
    answer("activating\n");
    EXPECT_FALSE(get_Systemd_Service_Status("NetworkManager"));
    answer("");
    EXPECT_FALSE(get_Systemd_Service_Status("NetworkManager"));
    EXPECT_EQ(get_Calls(), "systemctl[is-active][NetworkManager]\n"
                           "systemctl[is-active][NetworkManager]\n"
                           "systemctl[is-active][NetworkManager]\n"
                           "systemctl[is-active][NetworkManager]\n");
}

// How a command ended, as its one ERROR line says it, per use: a query's
// non-zero exit is its answer and stays quiet; the rest is reported with the
// last line of standard error, escaped.
TEST(SetCommand, FailuresAreReportedOnce) {
    struct Row {
        Command_Use use;
        const char* command;
        const char* line; // the ERROR text, or "" for none
    };
    const Row rows[] = {
        {COMMAND_ACTION, "true", ""},
        {COMMAND_QUERY, "echo inactive; echo gone >&2; exit 3", ""},
        {COMMAND_APPLY, "echo out; echo first >&2; printf 'bad\\033[2J\\n\\n' >&2; exit 2",
         "\"echo out; echo first >&2; printf 'bad\\033[2J\\n\\n' >&2; exit 2\" failed with exit "
         "status 2: bad\\x1B[2J"},
        {COMMAND_ACTION, "exit 1", "\"exit 1\" failed with exit status 1"},
        {COMMAND_APPLY, "/nonexistent/netplan apply",
         "\"/nonexistent/netplan apply\" failed with exit status 127: sh: 1: "
         "/nonexistent/netplan: not found"},
        {COMMAND_QUERY, "kill -9 $$", "\"kill -9 $$\" killed by signal 9"},
    };
    for (const Row& row : rows) {
        Log_Capture log;
        char result[64] = {};
        EXPECT_EQ(set_Command(row.command, result, sizeof(result), row.use), 0) << row.command;
        const std::string expected =
            *row.line == '\0' ? ""
                              : log_Line("ERROR", "[Command] report_Outcome: " +
                                                      std::string(row.line));
        EXPECT_EQ(without_Colours(log.text()), expected) << row.command;
    }
}

// A command starts with no signal blocked and SIGPIPE, SIGTERM and SIGINT at
// their default, whatever the daemon blocks (the stop signals, which its
// main loop waits for) or ignores (SIGPIPE, and SIGINT when it was started
// in the background by a shell): else a pipeline in the command would not
// end on a closed pipe, nor a child of it on the runner's SIGTERM.
TEST(SetCommand, StartsWithDefaultSignals) {
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    sigset_t mask_before;
    ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &stop, &mask_before), 0);
    struct sigaction ignore = {};
    ignore.sa_handler = SIG_IGN;
    struct sigaction pipe_before = {};
    struct sigaction int_before = {};
    sigaction(SIGPIPE, &ignore, &pipe_before);
    sigaction(SIGINT, &ignore, &int_before);
    std::string status;
    EXPECT_EQ(get_Command_Output("grep -E '^Sig(Blk|Ign):' /proc/self/status", &status), 0);
    sigaction(SIGINT, &int_before, nullptr);
    sigaction(SIGPIPE, &pipe_before, nullptr);
    pthread_sigmask(SIG_SETMASK, &mask_before, nullptr);

    unsigned long long blocked = 1;
    unsigned long long ignored = 1;
    ASSERT_EQ(sscanf(status.c_str(), "SigBlk: %llx SigIgn: %llx", &blocked, &ignored), 2) << status;
    EXPECT_EQ(blocked, 0u) << status;
    const unsigned long long defaults =
        1ull << (SIGPIPE - 1) | 1ull << (SIGTERM - 1) | 1ull << (SIGINT - 1);
    EXPECT_EQ(ignored & defaults, 0u) << status;
}

// A command past its limit is ended with its whole process group (also a
// child that ignores SIGTERM), reported once, and the caller goes on with
// what the command printed.
TEST(SetCommand, HungCommandIsKilledWithItsChildren) {
    const std::string pid_file = testing::TempDir() + "hung_command_child";
    for (const char* ignore : {"", "trap '' TERM; "}) {
        remove(pid_file.c_str());
        const std::string command =
            std::string(ignore) + "echo partial; sleep 600 & echo $! > " + pid_file + "; sleep 600";
        Log_Capture log;
        char result[32] = {};
        EXPECT_EQ(run_Command(command.c_str(), result, sizeof(result), COMMAND_APPLY, 300), 0);
        EXPECT_STREQ(result, "partial\n");
        EXPECT_EQ(without_Colours(log.text()),
                  log_Line("ERROR", "[Command] report_Outcome: \"" + command +
                                        "\" killed after its 0.3 s time limit"));
        const pid_t child = static_cast<pid_t>(std::stol("0" + read_File(pid_file)));
        ASSERT_GT(child, 0);
        // The orphaned child is gone once its new parent has reaped it.
        EXPECT_TRUE(eventually([child] { return kill(child, 0) != 0; }, std::chrono::seconds(30)))
            << child;
    }
    char result[16] = {};
    EXPECT_EQ(set_Command("echo next", result, sizeof(result)), 0);
    EXPECT_STREQ(result, "next\n");
    remove(pid_file.c_str());
}
