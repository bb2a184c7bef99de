// Board identity and hostname: the serial number from the EEPROM window (a
// crafted /dev/mem in a private mount namespace, and "N/A" without one), the
// OS name through a scripted bash, and hostname requests with a recording
// hostnamectl.
#include "config.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "log.h"

namespace {

std::string read_File(const std::string& path) {
    std::ifstream file(path);
    std::stringstream content;
    content << file.rdbuf();
    return content.str();
}

void write_File(const std::string& path, const std::string& content) {
    std::ofstream file(path, std::ios::trunc | std::ios::binary);
    file << content;
}

// A temporary directory with a bin/ in front of PATH, where fake host
// commands record each call as one line: "argc=N [arg1] [arg2] ...".
class Config_Test : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/config_test.XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
        bin = dir + "/bin";
        ASSERT_EQ(mkdir(bin.c_str(), 0755), 0);
        old_path = getenv("PATH");
        setenv("PATH", (bin + ":" + old_path).c_str(), 1);
    }
    void TearDown() override {
        set_Debug_Log(false);
        setenv("PATH", old_path.c_str(), 1);
        std::string command = "rm -rf '" + dir + "'";
        ASSERT_EQ(system(command.c_str()), 0);
    }

    // `output` (printf %b escapes) is printed by the fake on each call.
    void add_Fake_Command(const std::string& name, const std::string& output) {
        std::string path = bin + "/" + name;
        write_File(path, "#!/bin/sh\n"
                         "{ printf 'argc=%s' \"$#\"; for a in \"$@\"; do printf ' [%s]' \"$a\"; "
                         "done; echo; } >> '" +
                             calls_Path(name) + "'\nprintf '%b' '" + output + "'\n");
        chmod(path.c_str(), 0755);
    }
    std::string calls_Path(const std::string& name) const { return dir + "/" + name + ".calls"; }
    std::string get_Calls(const std::string& name) const { return read_File(calls_Path(name)); }

    std::string dir;
    std::string bin;
    std::string old_path;
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

// Runs `body` in a child with its own mount namespace and returns what the
// body wrote to its result stream; `*skipped` when no namespace can be made.
// The child's log lines go to `log_path`.
std::string run_In_Mount_Namespace(const std::string& log_path,
                                   const std::function<void(std::ostream&)>& body, bool* skipped) {
    int pipe_fds[2];
    if (pipe(pipe_fds) != 0)
        return "pipe failed";
    pid_t child = fork();
    if (child == 0) {
        close(pipe_fds[0]);
        alarm(60);
        int log_fd = open(log_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(log_fd, STDOUT_FILENO);
        dup2(log_fd, STDERR_FILENO);
        if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr))
            _exit(77);
        std::ostringstream results;
        body(results);
        std::string text = results.str();
        ssize_t written = write(pipe_fds[1], text.data(), text.size());
        _exit(written == static_cast<ssize_t>(text.size()) ? 0 : 1);
    }
    close(pipe_fds[1]);
    std::string text;
    char chunk[512];
    ssize_t got;
    while ((got = read(pipe_fds[0], chunk, sizeof(chunk))) > 0)
        text.append(chunk, static_cast<size_t>(got));
    close(pipe_fds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    *skipped = WIFEXITED(status) && WEXITSTATUS(status) == 77;
    if (!WIFEXITED(status) || (WEXITSTATUS(status) != 0 && !*skipped))
        text += "child failed, status " + std::to_string(status);
    return text;
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

    const std::string log_path = dir + "/log";
    bool skipped = false;
    std::string results = run_In_Mount_Namespace(
        log_path,
        [&](std::ostream& out) {
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
            out << "unmappable=" << get_Config_Serial_Number(buffer, sizeof(buffer)) << ":"
                << buffer << "\n";
        },
        &skipped);
    if (skipped)
        GTEST_SKIP() << "needs a private mount namespace (run as root)";
    EXPECT_EQ(results, "stored=13:PEC-SN-000123\n"
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
    EXPECT_EQ(read_File(log_path),
              "\033[31m[ERROR]\t[Config] get_EEPROM_Config: mmap() Error\033[0m\n");
}

TEST_F(Config_Test, OsNameIsTheTrimmedPrettyName) {
    char buffer[128];
    add_Fake_Command("bash", "Debian GNU/Linux 12 (bookworm)\\r\\n");
    EXPECT_EQ(get_Config_OS_Info(buffer), 30);
    EXPECT_STREQ(buffer, "Debian GNU/Linux 12 (bookworm)");
    EXPECT_EQ(get_Calls("bash"), "argc=2 [-c] [source /etc/os-release; echo ${PRETTY_NAME}]\n");

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
    EXPECT_EQ(get_Calls("hostnamectl"), "argc=2 [set-hostname] [pec-config-1]\n");
    set_Config_Hostname("pec-config-2");
    set_Config_Hostname("pec-config-1");
    EXPECT_EQ(get_Calls("hostnamectl"), "argc=2 [set-hostname] [pec-config-1]\n"
                                        "argc=2 [set-hostname] [pec-config-2]\n"
                                        "argc=2 [set-hostname] [pec-config-1]\n");

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
        EXPECT_EQ(err, "\033[31m[ERROR]\t[Config] set_Config_Hostname: invalid hostname "
                       "refused, nothing run\033[0m\n")
            << "name: " << name;
    }
    EXPECT_NE(access(marker.c_str(), F_OK), 0);

    // The last name applied is still the remembered one.
    set_Config_Hostname("pec-config-1");
    EXPECT_EQ(get_Calls("hostnamectl"), "argc=2 [set-hostname] [pec-config-1]\n"
                                        "argc=2 [set-hostname] [pec-config-2]\n"
                                        "argc=2 [set-hostname] [pec-config-1]\n");
}

TEST_F(Config_Test, HostnameDebugLines) {
    add_Fake_Command("hostnamectl", "");
    set_Debug_Log(true);
    testing::internal::CaptureStdout();
    set_Config_Hostname("pec-config-debug");
    std::string out = testing::internal::GetCapturedStdout();
    const char* prefix = "\033[32m[DEBUG]\t[Config] set_Config_Hostname: ";
    EXPECT_EQ(out, std::string(prefix) + "buffer=pec-config-debug  \033[0m\n" + prefix +
                       "hostname=pec-config-debug  \033[0m\n" + prefix +
                       "buffer_command=hostnamectl set-hostname 'pec-config-debug'  \033[0m\n");
}

} // namespace
