// Tests of replace_File: the whole content or none, owner, group and mode
// kept, links kept, the in-place fallback for a mount point, and nothing left
// behind after a failure.
#include "file_replace.h"

#include "support/fixtures.h"
#include "support/shell.h"
#include "support/text.h"
#include "testkit/namespaces.h"
#include "testkit/processes.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <cerrno>
#include <csignal>
#include <string>

namespace {

class File_Replace : public Temp_Dir_Test {
protected:
    struct stat status(const std::string& path) const {
        struct stat st = {};
        EXPECT_EQ(lstat(path.c_str(), &st), 0) << path;
        return st;
    }
    // The names in the test directory, sorted, blank-separated.
    std::string names() const {
        std::string listing;
        EXPECT_EQ(run_Shell("ls -A " + dir + " | tr '\\n' ' '", &listing), 0);
        return listing;
    }
};

TEST_F(File_Replace, keeps_owner_group_and_mode_of_an_existing_file) {
    const std::string path = dir + "/eth0";
    write_File(path, "old\n", 0640);
    if (geteuid() == 0) {
        ASSERT_EQ(chown(path.c_str(), 1234, 5678), 0);
    }
    const struct stat before = status(path);

    EXPECT_EQ(replace_File(path.c_str(), "new content\n", 0600, File_Mode_Rule::KEEP), 0);
    const struct stat after = status(path);
    EXPECT_EQ(read_File(path), "new content\n");
    EXPECT_NE(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_mode, before.st_mode);
    EXPECT_EQ(after.st_uid, before.st_uid);
    EXPECT_EQ(after.st_gid, before.st_gid);
    EXPECT_EQ(names(), "eth0 ") << "no temporary file is left";

    // FORCE sets the mode also on an existing file; a new file gets `mode`.
    EXPECT_EQ(replace_File(path.c_str(), "x", 0600, File_Mode_Rule::FORCE), 0);
    EXPECT_EQ(status(path).st_mode & 07777, 0600u);
    EXPECT_EQ(replace_File((dir + "/new").c_str(), "", 0604, File_Mode_Rule::KEEP), 0);
    EXPECT_EQ(status(dir + "/new").st_mode & 07777, 0604u);
}

TEST_F(File_Replace, a_symbolic_link_stays_a_link) {
    ASSERT_EQ(mkdir((dir + "/real").c_str(), 0755), 0);
    write_File(dir + "/real/eth0", "old\n", 0644);
    ASSERT_EQ(symlink("real/eth0", (dir + "/eth0").c_str()), 0);
    ASSERT_EQ(symlink("eth0", (dir + "/alias").c_str()), 0);

    EXPECT_EQ(replace_File((dir + "/alias").c_str(), "new\n", 0600, File_Mode_Rule::KEEP), 0);
    EXPECT_TRUE(S_ISLNK(status(dir + "/alias").st_mode));
    EXPECT_TRUE(S_ISLNK(status(dir + "/eth0").st_mode));
    EXPECT_EQ(read_File(dir + "/real/eth0"), "new\n");
    EXPECT_EQ(status(dir + "/real/eth0").st_mode & 07777, 0644u);

    // A dangling link gets its target created.
    ASSERT_EQ(symlink("real/eth1", (dir + "/eth1").c_str()), 0);
    EXPECT_EQ(replace_File((dir + "/eth1").c_str(), "x", 0600, File_Mode_Rule::KEEP), 0);
    EXPECT_TRUE(S_ISLNK(status(dir + "/eth1").st_mode));
    EXPECT_EQ(read_File(dir + "/real/eth1"), "x");
}

TEST_F(File_Replace, a_failed_write_changes_nothing_and_leaves_nothing) {
    const std::string path = dir + "/eth0";
    write_File(path, "old\n");
    EXPECT_EQ(replace_File((dir + "/missing/eth0").c_str(), "x", 0600, File_Mode_Rule::KEEP),
              ENOENT);

    // A file size limit below the new content's size fails the write, as a
    // full disk would; the child keeps the limit out of this process.
    Child_Result child = run_In_Child("", HOST_NAMESPACES, [&](std::ostream& out) {
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit limit = {4, 4};
        setrlimit(RLIMIT_FSIZE, &limit);
        out << replace_File(path.c_str(), "longer content\n", 0600, File_Mode_Rule::KEEP);
    });
    EXPECT_EQ(child.results, std::to_string(EFBIG));
    EXPECT_EQ(read_File(path), "old\n");
    EXPECT_EQ(names(), "eth0 ");
}

TEST_F(File_Replace, a_mount_point_is_rewritten_in_place_and_logged_once) {
    const std::string path = dir + "/eth0";
    write_File(path, "old content\n");
    write_File(dir + "/source", "old content\n");
    Child_Result child = run_In_Child(dir + "/log", PRIVATE_MOUNTS, [&](std::ostream& out) {
        if (mount((dir + "/source").c_str(), path.c_str(), nullptr, MS_BIND, nullptr) != 0) {
            out << "bind mount failed";
            return;
        }
        out << replace_File(path.c_str(), "new\n", 0600, File_Mode_Rule::KEEP)
            << replace_File(path.c_str(), "newer\n", 0600, File_Mode_Rule::KEEP);
    });
    if (child.skipped)
        GTEST_SKIP() << "needs root for a private mount namespace";
    EXPECT_EQ(child.results, "00");
    EXPECT_EQ(read_File(dir + "/source"), "newer\n");
    EXPECT_EQ(count_Of(child.log, "rewriting it in place"), 1u) << child.log;
    EXPECT_EQ(names(), "eth0 log source ");
}

} // namespace
