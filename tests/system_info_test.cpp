// System_Info: the hostname check, the hostname setter with a recording
// hostnamectl, the disk list from a scripted lsblk, the memory size from
// crafted /proc/meminfo contents (in a private mount namespace) and the
// string getters.
#include "system_info.h"

#include <sys/mount.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "log.h"
#include "support/fixtures.h"
#include "testkit/namespaces.h"
#include "testkit/processes.h"

namespace {

class System_Info_Test : public Fake_Bin_Test {};

void expect_Hostname_One(const char* name, bool expected) {
    EXPECT_EQ(System_Info::is_Valid_Hostname(name), expected)
        << "name: \"" << (name ? name : "(null)") << "\"";
}

TEST(System_Info_Hostname, ValidatorTable) {
    const std::string label63(63, 'a');
    const std::string label64(64, 'a');
    const std::string total64 = std::string(31, 'b') + "." + std::string(32, 'c');
    const std::string total65 = std::string(32, 'b') + "." + std::string(32, 'c');
    struct Case {
        std::string name;
        bool valid;
    } cases[] = {
        {"a", true},
        {"pec-node-7", true},
        {"PEC7.rack-2.example", true},
        {"123", true},
        {"xn--bcher-kva", true},
        {label63, true},
        {total64, true},
        {label64, false},
        {total65, false},
        {"", false},
        {".", false},
        {"a.", false},
        {".a", false},
        {"a..b", false},
        {"-a", false},
        {"a-", false},
        {"a.-b", false},
        {"a-.b", false},
        {"a_b", false},
        {"a b", false},
        {"a\tb", false},
        {"a\nb", false},
        {"a/b", false},
        {"a;reboot", false},
        {"$(id)", false},
        {"`id`", false},
        {"x'y", false},
        {"a\"b", false},
        {"b\xc3\xbc"
         "cher",
         false},
        {"\x1b[31m", false},
    };
    for (const Case& c : cases)
        expect_Hostname_One(c.name.c_str(), c.valid);
    expect_Hostname_One(nullptr, false);
}

TEST_F(System_Info_Test, SetHostnameRunsHostnamectlOnlyForValidNames) {
    add_Fake_Command("hostnamectl", "");
    System_Info::set_Hostname("pec-node-7");
    EXPECT_EQ(get_Calls("hostnamectl"), "hostnamectl[set-hostname][pec-node-7]\n");

    const std::string marker = dir + "/hostile";
    const std::vector<std::string> refused = {
        "bad name",
        "x';touch " + marker + ";'",
        "$(touch " + marker + ")",
        std::string("ok\0;touch ", 10) + marker,
        std::string(103, 'a'),
        "",
    };
    for (const std::string& name : refused) {
        testing::internal::CaptureStderr();
        System_Info::set_Hostname(name);
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_NE(err.find("[ERROR]\t[System Info] set_Hostname: invalid hostname refused"),
                  std::string::npos)
            << err;
    }
    EXPECT_EQ(get_Calls("hostnamectl"), "hostnamectl[set-hostname][pec-node-7]\n");
    EXPECT_NE(access(marker.c_str(), F_OK), 0);
}

TEST_F(System_Info_Test, DiskInfoJoinsDisksInListOrder) {
    add_Fake_Command("lsblk", "/dev/sda        1.8T disk\n"
                              "|-/dev/sda1     512M part\n"
                              "`-/dev/sda2     1.8T part\n"
                              "/dev/sr0       1024M rom\n"
                              "/dev/nvme0n1  476.9G disk\n"
                              "/dev/mmcblk0   \t 29.1G\tdisk\n"
                              "/dev/odd\n"
                              "\n");
    uint8_t count = 0;
    std::string names;
    std::string sizes;
    ASSERT_TRUE(System_Info::get_Disk_Info(&count, &names, &sizes));
    EXPECT_EQ(count, 3);
    EXPECT_EQ(names, "/dev/sda|/dev/nvme0n1|/dev/mmcblk0");
    EXPECT_EQ(sizes, "1.8T|476.9G|29.1G");
    EXPECT_EQ(get_Calls("lsblk"), "lsblk[-p][-o][NAME,SIZE,TYPE][-n][--exclude][1,7]\n");
}

TEST_F(System_Info_Test, DiskInfoOneDiskAndNone) {
    add_Fake_Command("lsblk", "/dev/vda 256G disk\n");
    uint8_t count = 0;
    std::string names;
    std::string sizes;
    ASSERT_TRUE(System_Info::get_Disk_Info(&count, &names, &sizes));
    EXPECT_EQ(count, 1);
    EXPECT_EQ(names, "/dev/vda");
    EXPECT_EQ(sizes, "256G");

    // Only RAM disks and loop devices: lsblk lists nothing.
    add_Fake_Command("lsblk", "");
    count = 0;
    names.clear();
    sizes.clear();
    ASSERT_TRUE(System_Info::get_Disk_Info(&count, &names, &sizes));
    EXPECT_EQ(count, 0);
    EXPECT_EQ(names, "");
    EXPECT_EQ(sizes, "");
}

TEST_F(System_Info_Test, StringGettersTakeOneCleanLine) {
    add_Fake_Command("uptime", "up 3 hours, 2 minutes\\n");
    add_Fake_Command("hostname", "pec-node-7\\r\\n");
    add_Fake_Command("bash", "Halvorne Linux 2.1 (test)\\n");
    EXPECT_EQ(System_Info::get_Uptime(), "up 3 hours, 2 minutes");
    EXPECT_EQ(get_Calls("uptime"), "uptime[-p]\n");
    EXPECT_EQ(System_Info::get_Hostname(), "pec-node-7");
    EXPECT_EQ(System_Info::get_OS_Info(), "Halvorne Linux 2.1 (test)");
    EXPECT_EQ(get_Calls("bash"), "bash[-c][source /etc/os-release; echo ${PRETTY_NAME}]\n");

    add_Fake_Command("hostname", "");
    EXPECT_EQ(System_Info::get_Hostname(), "");

    struct utsname names = {};
    ASSERT_EQ(uname(&names), 0);
    EXPECT_EQ(System_Info::get_Kernel_Version(), names.release);
}

TEST_F(System_Info_Test, MemoryTotalSizeFromMeminfo) {
    struct Case {
        const char* name;
        std::string content;
    } cases[] = {
        {"just_under_16", "MemTotal:       16777215 kB\nMemFree:  100 kB\n"},
        {"exactly_16", "MemTotal:       16777216 kB\n"},
        {"not_first", "MemFree:   1 kB\nSwapTotal: 999999999 kB\nMemTotal: 2097152 kB\n"},
        {"no_memtotal", "MemFree:   1048576 kB\n"},
        {"not_a_number", "MemTotal:  12x34 kB\n"},
        {"empty", ""},
    };
    for (const Case& c : cases)
        write_File(dir + "/" + c.name, c.content);

    Child_Result child = run_In_Child("", PRIVATE_MOUNTS, [&](std::ostream& out) {
        for (const Case& c : cases) {
            std::string source = dir + "/" + c.name;
            if (mount(source.c_str(), "/proc/meminfo", nullptr, MS_BIND, nullptr) != 0) {
                out << c.name << "=mount failed\n";
                continue;
            }
            out << c.name << "=" << System_Info::get_Memory_Total_Size() << "\n";
            umount("/proc/meminfo");
        }
        // No /proc at all: the file cannot be opened.
        if (mount("none", "/proc", "tmpfs", 0, nullptr) == 0) {
            out << "missing=" << System_Info::get_Memory_Total_Size() << "\n";
            // A leak checker at the child's exit reads /proc.
            umount("/proc");
        }
    });
    if (child.skipped)
        GTEST_SKIP() << "needs a private mount namespace (run as root)";
    EXPECT_EQ(child.results, "just_under_16=15\n"
                             "exactly_16=16\n"
                             "not_first=2\n"
                             "no_memtotal=0\n"
                             "not_a_number=0\n"
                             "empty=0\n"
                             "missing=0\n");
}

TEST(System_Info_Memory, HostMemoryIsWholeGibibytesOfMemTotal) {
    std::ifstream meminfo("/proc/meminfo");
    std::string key;
    unsigned long long kb = 0;
    while (meminfo >> key && key != "MemTotal:") {
        meminfo.ignore(1 << 10, '\n');
    }
    ASSERT_EQ(key, "MemTotal:");
    ASSERT_TRUE(meminfo >> kb);
    EXPECT_EQ(System_Info::get_Memory_Total_Size(), kb >> 20);
}

} // namespace
