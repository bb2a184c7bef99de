#include "extra_command_handling.h"

#include "support/fixtures.h"

#include <gtest/gtest.h>

#include <unistd.h>

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
