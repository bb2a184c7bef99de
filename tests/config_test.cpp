// Board identity and hostname: the serial number from the EEPROM window (a
// crafted /dev/mem in a private mount namespace, and "N/A" without one), the
// OS name through a scripted bash, and hostname requests with a recording
// hostnamectl.
#include "config.h"

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "log.h"
#include "support/fixtures.h"
#include "support/text.h"
#include "testkit/namespaces.h"
#include "testkit/processes.h"

namespace {

// Fake host commands in front of PATH; the debug lines are switched off
// again after each test.
class Config_Test : public Fake_Bin_Test {
protected:
    void TearDown() override {
        set_Debug_Log(false);
        Fake_Bin_Test::TearDown();
    }
};

TEST(Config_Identity, ProductNameAndVersion) {
    char buffer[32];
    memset(buffer, 'x', sizeof(buffer));
    EXPECT_EQ(get_Config_Product_Name(buffer), 11);
    EXPECT_STREQ(buffer, "Halvorne LN");
    memset(buffer, 'x', sizeof(buffer));
    EXPECT_EQ(get_Config_Version(buffer), 6);
    EXPECT_STREQ(buffer, "v1.1.2");
}

TEST(Config_Serial, FallbackWithoutEepromWindow) {
    if (access("/dev/mem", R_OK) == 0)
        GTEST_SKIP() << "this host has a readable /dev/mem";
    char buffer[100];
    memset(buffer, 'x', sizeof(buffer));
    testing::internal::CaptureStderr();
    EXPECT_EQ(get_Config_Serial_Number(buffer, sizeof(buffer)), 3);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_STREQ(buffer, "N/A");

    // The fallback too stays within the buffer and is terminated.
    char small[3] = {'x', 'x', 'x'};
    EXPECT_EQ(get_Config_Serial_Number(small, 2), 1);
    EXPECT_STREQ(small, "N");
    EXPECT_EQ(small[2], 'x');
    EXPECT_EQ(get_Config_Serial_Number(small, 1), 0);
    EXPECT_EQ(small[0], '\0');
}

// A sparse stand-in for /dev/mem whose EEPROM window (at 0x10000000) holds
// `marker` at 0x50 and `record` from 0x51 on.
void make_Eeprom_Image(const std::string& path, uint8_t marker, const std::string& record) {
    const off_t window = 0x10000000;
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, window + 4096), 0);
    ASSERT_EQ(pwrite(fd, &marker, 1, window + 0x50), 1);
    ASSERT_EQ(pwrite(fd, record.data(), record.size(), window + 0x51),
              static_cast<ssize_t>(record.size()));
    close(fd);
}

TEST_F(Config_Test, SerialNumberFromEepromWindow) {
    struct Case {
        const char* name;
        uint8_t marker;
        std::string record;
        uint32_t buffer_length;
    } cases[] = {
        {"stored", 0x55, std::string("PEC-SN-000123\0trailing", 22), 100},
        {"cut_to_buffer", 0x55, std::string(150, 'S'), 100},
        {"unterminated_511", 0x55, std::string(600, 'U'), 1024},
        {"no_marker", 0x54, "PEC-SN-000999", 100},
        {"empty_record", 0x55, std::string(1, '\0'), 100},
    };
    for (const Case& c : cases)
        make_Eeprom_Image(dir + "/" + c.name, c.marker, c.record);
    ASSERT_EQ(mkdir((dir + "/directory").c_str(), 0755), 0);

    Child_Result child = run_In_Child(dir + "/log", PRIVATE_MOUNTS, [&](std::ostream& out) {
        // A private /dev holding only the stand-in.
        if (mount("none", "/dev", "tmpfs", 0, nullptr) != 0)
            return;
        for (const Case& c : cases) {
            write_File("/dev/mem", "");
            std::string source = dir + "/" + c.name;
            mount(source.c_str(), "/dev/mem", nullptr, MS_BIND, nullptr);
            std::vector<char> buffer(c.buffer_length + 1, 'x');
            int length = get_Config_Serial_Number(buffer.data(), c.buffer_length);
            out << c.name << "=" << length << ":" << buffer.data() << "\n";
            umount("/dev/mem");
        }
        // A device that opens but cannot be mapped.
        unlink("/dev/mem");
        mkdir("/dev/mem", 0755);
        char buffer[100];
        out << "unmappable=" << get_Config_Serial_Number(buffer, sizeof(buffer)) << ":" << buffer
            << "\n";
    });
    if (child.skipped)
        GTEST_SKIP() << "needs a private mount namespace (run as root)";
    EXPECT_EQ(child.results, "stored=13:PEC-SN-000123\n"
                             "cut_to_buffer=99:" +
                                 std::string(99, 'S') +
                                 "\n"
                                 "unterminated_511=" +
                                 std::to_string(511 % 256) + ":" + std::string(511, 'U') +
                                 "\n"
                                 "no_marker=3:N/A\n"
                                 "empty_record=0:\n"
                                 "unmappable=3:N/A\n");
    // Only the failed mapping is logged.
    EXPECT_EQ(without_Colours(child.log), log_Line("ERROR", "[Config] get_EEPROM_Config: mmap() Error"));
}

TEST_F(Config_Test, OsNameIsTheTrimmedPrettyName) {
    char buffer[128];
    add_Fake_Command("bash", "Debian GNU/Linux 12 (bookworm)\\r\\n");
    EXPECT_EQ(get_Config_OS_Info(buffer), 30);
    EXPECT_STREQ(buffer, "Debian GNU/Linux 12 (bookworm)");
    EXPECT_EQ(get_Calls("bash"), "bash[-c][source /etc/os-release; echo ${PRETTY_NAME}]\n");

    // No PRETTY_NAME: echo prints only a line feed.
    add_Fake_Command("bash", "\\n");
    EXPECT_EQ(get_Config_OS_Info(buffer), 0);
    EXPECT_STREQ(buffer, "");

    // The longest name that fits the 128-byte capture.
    add_Fake_Command("bash", std::string(127, 'O'));
    EXPECT_EQ(get_Config_OS_Info(buffer), 127);
    EXPECT_EQ(std::string(buffer), std::string(127, 'O'));
}

TEST(Config_OS, OsNameOfThisHost) {
    std::ifstream release("/etc/os-release");
    std::string line;
    std::string expected;
    while (std::getline(release, line))
        if (line.rfind("PRETTY_NAME=", 0) == 0)
            expected = line.substr(12);
    if (expected.size() >= 2 && expected.front() == '"' && expected.back() == '"')
        expected = expected.substr(1, expected.size() - 2);
    char buffer[128];
    EXPECT_EQ(get_Config_OS_Info(buffer), static_cast<int>(expected.size()));
    EXPECT_EQ(std::string(buffer), expected);
}

TEST_F(Config_Test, HostnameAppliedOnceAndOnlyWhenValid) {
    add_Fake_Command("hostnamectl", "");
    EXPECT_FALSE(set_Config_Hostname("pec-config-1"));
    EXPECT_FALSE(set_Config_Hostname("pec-config-1"));
    EXPECT_EQ(get_Calls("hostnamectl"), "hostnamectl[set-hostname][pec-config-1]\n");
    set_Config_Hostname("pec-config-2");
    set_Config_Hostname("pec-config-1");
    EXPECT_EQ(get_Calls("hostnamectl"), "hostnamectl[set-hostname][pec-config-1]\n"
                                        "hostnamectl[set-hostname][pec-config-2]\n"
                                        "hostnamectl[set-hostname][pec-config-1]\n");

    const std::string marker = dir + "/hostile";
    const std::vector<std::string> refused = {
        "bad name",
        "x';touch " + marker + ";'",
        "$(touch " + marker + ")",
        "a.-b",
        "",
        "a;b",
        std::string(65, 'a'),
        std::string(103, 'b'),
        std::string(249, 'c'),
        "bad;name",
        "bad;name",
    };
    for (const std::string& name : refused) {
        testing::internal::CaptureStderr();
        EXPECT_FALSE(set_Config_Hostname(name.c_str()));
        std::string err = testing::internal::GetCapturedStderr();
        // Refused every time: a refused name is never remembered.
        EXPECT_EQ(without_Colours(err),
                  log_Line("ERROR", "[Config] set_Config_Hostname: invalid hostname refused, "
                                    "nothing run"))
            << "name: " << name;
    }
    EXPECT_NE(access(marker.c_str(), F_OK), 0);

    // The last name applied is still the remembered one.
    set_Config_Hostname("pec-config-1");
    EXPECT_EQ(get_Calls("hostnamectl"), "hostnamectl[set-hostname][pec-config-1]\n"
                                        "hostnamectl[set-hostname][pec-config-2]\n"
                                        "hostnamectl[set-hostname][pec-config-1]\n");
}

TEST_F(Config_Test, HostnameDebugLines) {
    add_Fake_Command("hostnamectl", "");
    set_Debug_Log(true);
    testing::internal::CaptureStdout();
    set_Config_Hostname("pec-config-debug");
    std::string out = testing::internal::GetCapturedStdout();
    const std::string prefix = "[Config] set_Config_Hostname: ";
    EXPECT_EQ(without_Colours(out),
              log_Line("DEBUG", prefix + "buffer=pec-config-debug  ") +
                  log_Line("DEBUG", prefix + "hostname=pec-config-debug  ") +
                  log_Line("DEBUG",
                           prefix + "buffer_command=hostnamectl set-hostname 'pec-config-debug'  "));
}

} // namespace
