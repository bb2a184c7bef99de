#include "config_file_handling.h"

#include "support/fixtures.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <string>

namespace {

// The file under test is eth0 in the test's own directory.
class ConfigFile : public Temp_Dir_Test {
protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(Temp_Dir_Test::SetUp());
        path = dir + "/eth0";
    }
    void TearDown() override {
        chmod(path.c_str(), 0600);
        Temp_Dir_Test::TearDown();
    }
    void write(const std::string& content) { write_File(path, content); }
    std::string read() const { return read_File(path); }
    // The value get_Data finds, or "<n>" for a non-zero result.
    std::string get(const char* name, const char* ignore = nullptr, bool ignore_comment = false,
                    char token = ' ', unsigned int length = 128) {
        char buffer[512];
        memset(buffer, '?', sizeof(buffer));
        uint8_t result = Config_File::get_Data(path.c_str(), name, buffer, length, token, ignore,
                                               ignore_comment);
        if (result != 0)
            return "<" + std::to_string(result) + ">";
        return buffer;
    }

    std::string path;
};

const char* const stanza = "auto eth0\n"
                           "iface eth0 inet static\n"
                           "    hwaddress ether 02:00:00:00:00:01\n"
                           "    address 10.0.0.5 # office\n"
                           "    netmask 255.0.0.0\n"
                           "#   gateway 10.0.0.1\n";

} // namespace

TEST_F(ConfigFile, GetData) {
    write(stanza);
    EXPECT_EQ(get("address", "hwaddress"), "10.0.0.5 # office");
    EXPECT_EQ(get("netmask"), "255.0.0.0");
    EXPECT_EQ(get("gateway"), "<3>");
    EXPECT_EQ(get("gateway", nullptr, true), "10.0.0.1");
    EXPECT_EQ(get("dns-nameservers"), "<3>");
    EXPECT_EQ(get("address", "hwaddress", false, ' ', 5), "10.0");

    // Separator and tab rules: "key=value", and a key followed by a tab is
    // not the key followed by a space.
    write("name=value one\nother\tx\n");
    EXPECT_EQ(get("name", nullptr, false, '='), "value one");
    EXPECT_EQ(get("other"), "<3>");

    // No final newline, carriage return line ends.
    write("first 1\r\nlast 2");
    EXPECT_EQ(get("first"), "1");
    EXPECT_EQ(get("last"), "2");

    // Null buffer, and a file that is readable but not writable.
    char buffer[8];
    EXPECT_EQ(Config_File::get_Data(path.c_str(), "last", nullptr, 8, ' ', nullptr, false), 2);
    if (geteuid() != 0) {
        chmod(path.c_str(), 0400);
        EXPECT_EQ(Config_File::get_Data(path.c_str(), "last", buffer, 8, ' ', nullptr, false), 1);
    }
    EXPECT_EQ(
        Config_File::get_Data((dir + "/missing").c_str(), "last", buffer, 8, ' ', nullptr, false),
        1);
}

TEST_F(ConfigFile, SetDataRewritesEveryKeyLine) {
    write("    address 10.0.0.5\n    netmask 255.0.0.0\naddress 1.2.3.4 # second\n");
    chmod(path.c_str(), 0640);
    struct stat before;
    ASSERT_EQ(stat(path.c_str(), &before), 0);

    EXPECT_EQ(Config_File::set_Data(path.c_str(), "address", "10.0.0.9", ' ', nullptr), 0);
    EXPECT_EQ(read(), "    address 10.0.0.9\n    netmask 255.0.0.0\naddress 10.0.0.9\n");

    struct stat after;
    ASSERT_EQ(stat(path.c_str(), &after), 0);
    EXPECT_NE(after.st_ino, before.st_ino) << "replaced whole, not rewritten in place";
    EXPECT_EQ(after.st_mode, before.st_mode);

    // A line that holds the key twice is rewritten from its first occurrence.
    write("  address address 5\n");
    EXPECT_EQ(Config_File::set_Data(path.c_str(), "address", "6", ' ', nullptr), 0);
    EXPECT_EQ(read(), "  address 6\n");

    // Other separators get one space after them.
    write("key=old\n");
    EXPECT_EQ(Config_File::set_Data(path.c_str(), "key", "new", '=', nullptr), 0);
    EXPECT_EQ(read(), "key= new\n");
}

TEST_F(ConfigFile, SetDataAddsMissingKeys) {
    write("iface eth0 inet static\n");
    EXPECT_EQ(Config_File::set_Data(path.c_str(), "gateway", "10.0.0.1", ' ', nullptr), 2);
    EXPECT_EQ(read(), "iface eth0 inet static\n\ngateway 10.0.0.1");

    // Without a final newline the key goes onto a line of its own.
    EXPECT_EQ(Config_File::set_Data(path.c_str(), "dns", "1.1.1.1", '=', nullptr), 2);
    EXPECT_EQ(read(), "iface eth0 inet static\n\ngateway 10.0.0.1\ndns= 1.1.1.1");

    // A key only in commented-out lines, or only in skipped lines, is added.
    write("#address 1.1.1.1\nhwaddress 2\n");
    EXPECT_EQ(Config_File::set_Data(path.c_str(), "address", "3.3.3.3", ' ', "hwaddress"), 2);
    EXPECT_EQ(read(), "#address 1.1.1.1\nhwaddress 2\n\naddress 3.3.3.3");

    EXPECT_EQ(Config_File::set_Data((dir + "/missing").c_str(), "a", "b", ' ', nullptr), 2);
    EXPECT_NE(access((dir + "/missing").c_str(), F_OK), 0);
}

TEST_F(ConfigFile, CommentOutAndIn) {
    write("    gateway 10.0.0.1\ngateway 2\n");
    EXPECT_EQ(Config_File::set_Data_Comment(path.c_str(), "gateway", true, ' ', nullptr), 0);
    EXPECT_EQ(read(), "    #gateway 10.0.0.1\n#gateway 2\n");
    // Already commented: unchanged.
    EXPECT_EQ(Config_File::set_Data_Comment(path.c_str(), "gateway", true, ' ', nullptr), 0);
    EXPECT_EQ(read(), "    #gateway 10.0.0.1\n#gateway 2\n");
    EXPECT_EQ(Config_File::set_Data_Comment(path.c_str(), "gateway", false, ' ', nullptr), 0);
    EXPECT_EQ(read(), "    gateway 10.0.0.1\ngateway 2\n");

    // Only the character directly before the key counts.
    write("# gateway 1\n");
    EXPECT_EQ(Config_File::set_Data_Comment(path.c_str(), "gateway", false, ' ', nullptr), 0);
    EXPECT_EQ(read(), "# gateway 1\n");
    EXPECT_EQ(Config_File::set_Data_Comment(path.c_str(), "gateway", true, ' ', nullptr), 0);
    EXPECT_EQ(read(), "# #gateway 1\n");

    write("hwaddress 1\nnetmask 2");
    EXPECT_EQ(Config_File::set_Data_Comment(path.c_str(), "address", true, ' ', "hwaddress"), 1);
    EXPECT_EQ(read(), "hwaddress 1\nnetmask 2");
    EXPECT_EQ(Config_File::set_Data_Comment((dir + "/missing").c_str(), "a", true, ' ', nullptr),
              1);
}

TEST_F(ConfigFile, ScopedEditsStayInTheirSection) {
    // The IPv4 stanza of eth0 between an inet6 stanza and another interface;
    // an "up" command and a comment mention the keys too.
    write("auto eth0\n"
          "iface eth0 inet6 static\n"
          "    address fd00::5\n"
          "    gateway fd00::1\n"
          "iface eth0 inet static\n"
          "\taddress 192.0.2.10\n"
          "\t#netmask 255.255.255.0\n"
          "\tup route add -net 10.0.0.0 netmask 255.254.0.0 gw 192.0.2.1 || true\n"
          "\n"
          "# gateway of eth1 below\n"
          "allow-hotplug eth1\n"
          "iface eth1 inet dhcp\n"
          "    address 198.51.100.1\n");
    const char* const openers[] = {"iface", "auto", "allow-", nullptr};
    const Config_File::Scope scope = {"iface eth0 inet ", openers};
    const char* file = path.c_str();
    char buffer[64] = {};
    EXPECT_EQ(
        Config_File::get_Data(file, "address", buffer, sizeof(buffer), ' ', nullptr, false, &scope),
        0);
    EXPECT_STREQ(buffer, "192.0.2.10");
    EXPECT_EQ(
        Config_File::get_Data(file, "gateway", buffer, sizeof(buffer), ' ', nullptr, false, &scope),
        3);
    EXPECT_EQ(Config_File::get_Data(file, "iface eth0 inet", buffer, sizeof(buffer), ' ', nullptr,
                                    false, &scope),
              0);
    EXPECT_STREQ(buffer, "static");

    EXPECT_EQ(Config_File::set_Data(file, "address", "192.0.2.20", ' ', nullptr, &scope), 0);
    EXPECT_EQ(Config_File::set_Data_Comment(file, "netmask", false, ' ', nullptr, &scope), 0);
    EXPECT_EQ(Config_File::set_Data(file, "netmask", "255.255.0.0", ' ', nullptr, &scope), 0);
    EXPECT_EQ(Config_File::set_Data(file, "gateway", "192.0.2.1", ' ', nullptr, &scope), 2);
    EXPECT_EQ(Config_File::set_Data_Comment(file, "address", true, ' ', nullptr, &scope), 0);
    EXPECT_EQ(Config_File::set_Data(file, "iface eth0 inet", "dhcp", ' ', nullptr, &scope), 0);
    EXPECT_EQ(read(), "auto eth0\n"
                      "iface eth0 inet6 static\n"
                      "    address fd00::5\n"
                      "    gateway fd00::1\n"
                      "iface eth0 inet dhcp\n"
                      "\t#address 192.0.2.20\n"
                      "\tnetmask 255.255.0.0\n"
                      "\tup route add -net 10.0.0.0 netmask 255.254.0.0 gw 192.0.2.1 || true\n"
                      "\tgateway 192.0.2.1\n"
                      "\n"
                      "# gateway of eth1 below\n"
                      "allow-hotplug eth1\n"
                      "iface eth1 inet dhcp\n"
                      "    address 198.51.100.1\n");

    // A file without the section is left alone.
    const Config_File::Scope absent = {"iface eth9 inet ", openers};
    const std::string before = read();
    EXPECT_EQ(Config_File::set_Data(file, "gateway", "1.2.3.4", ' ', nullptr, &absent), 3);
    EXPECT_EQ(Config_File::set_Data_Comment(file, "address", true, ' ', nullptr, &absent), 1);
    EXPECT_EQ(read(), before);

    // A section that ends the file without a newline gets the key after it.
    write("iface eth0 inet dhcp");
    EXPECT_EQ(Config_File::set_Data(file, "gateway", "1.2.3.4", ' ', nullptr, &scope), 2);
    EXPECT_EQ(read(), "iface eth0 inet dhcp\ngateway 1.2.3.4");
}

TEST_F(ConfigFile, LongLinesAndFarKeys) {
    // Lines far longer than any fixed buffer, and a key past column 256.
    const std::string indent(300, ' ');
    const std::string long_value(5000, 'v');
    write("comment " + std::string(3000, 'c') + "\n" + indent + "address " + long_value + "\n");
    EXPECT_EQ(get("address"), long_value.substr(0, 127));
    EXPECT_EQ(Config_File::set_Data_Comment(path.c_str(), "address", true, ' ', nullptr), 0);
    EXPECT_EQ(read(), "comment " + std::string(3000, 'c') + "\n" + indent + "#address " +
                          long_value + "\n");
    EXPECT_EQ(Config_File::set_Data_Comment(path.c_str(), "address", false, ' ', nullptr), 0);
    EXPECT_EQ(Config_File::set_Data(path.c_str(), "address", "1.2.3.4", ' ', nullptr), 0);
    EXPECT_EQ(read(), "comment " + std::string(3000, 'c') + "\n" + indent + "address 1.2.3.4\n");
}

TEST_F(ConfigFile, FailedWriteBackIsReported) {
    // A file size limit of the file's own size makes every growing rewrite
    // fail part-way, as a full disk would; the child keeps the limit out of
    // this process.
    const std::string original = "address 10.0.0.5\n";
    write(original);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit limit = {original.size(), original.size()};
        setrlimit(RLIMIT_FSIZE, &limit);
        uint8_t set = Config_File::set_Data(path.c_str(), "gateway", "10.0.0.1", ' ', nullptr);
        uint8_t comment =
            Config_File::set_Data_Comment(path.c_str(), "address", true, ' ', nullptr);
        _exit(set * 10 + comment);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 12);
    EXPECT_EQ(read(), original);
}
