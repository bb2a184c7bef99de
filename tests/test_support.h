// Helpers shared by the unit test programs: whole-file reads and writes,
// shell commands with their output, a per-test temporary directory, fake host
// commands first on PATH that record how they were called, test bodies run in
// a child process (in a private mount namespace when asked), and a capture of
// the log lines.
#pragma once

#include "log.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>

// ---- Files and commands --------------------------------------------------------

// The whole content of `path`; empty when it cannot be read.
inline std::string read_File(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::stringstream content;
    content << file.rdbuf();
    return content.str();
}

// Replaces the content of `path` (creating it if needed) and gives it `mode`.
inline void write_File(const std::string& path, const std::string& content, mode_t mode = 0600) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
    chmod(path.c_str(), mode);
}

// How often `part` occurs in `text`, overlapping occurrences included.
inline size_t count_Of(const std::string& text, const std::string& part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++count;
    return count;
}

// Runs `command` through the shell and returns its exit status (-1 when it
// could not start or did not end normally). What it printed on standard
// output goes to `*output` when given.
inline int run_Shell(const std::string& command, std::string* output = nullptr) {
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr)
        return -1;
    std::string text;
    char chunk[512];
    size_t got;
    while ((got = fread(chunk, 1, sizeof(chunk), pipe)) > 0)
        text.append(chunk, got);
    int status = pclose(pipe);
    if (output != nullptr)
        *output = text;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// ---- Fixtures ------------------------------------------------------------------

// Gives each test a fresh directory "/tmp/<suite>.XXXXXX" in `dir`, removed
// with everything in it after the test.
class Temp_Dir_Test : public testing::Test {
protected:
    void SetUp() override {
        const testing::TestInfo* test = testing::UnitTest::GetInstance()->current_test_info();
        std::string pattern = std::string("/tmp/") + test->test_suite_name() + ".XXXXXX";
        ASSERT_NE(mkdtemp(&pattern[0]), nullptr);
        dir = pattern;
    }
    void TearDown() override {
        if (dir.empty())
            return;
        std::string command = "rm -rf '" + dir + "'";
        ASSERT_EQ(system(command.c_str()), 0);
    }

    std::string dir;
};

// A temporary directory whose bin/ stands first on PATH for the test, so
// that fakes put there replace the host's commands.
class Fake_Bin_Test : public Temp_Dir_Test {
protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(Temp_Dir_Test::SetUp());
        bin = dir + "/bin";
        ASSERT_EQ(mkdir(bin.c_str(), 0755), 0);
        old_path = getenv("PATH");
        setenv("PATH", (bin + ":" + old_path).c_str(), 1);
    }
    void TearDown() override {
        if (!old_path.empty())
            setenv("PATH", old_path.c_str(), 1);
        Temp_Dir_Test::TearDown();
    }

    // Installs the shell script `script` as bin/`name`; every "@DIR@" in it
    // becomes the test's directory.
    void install_Fake(const std::string& name, std::string script) {
        for (size_t at; (at = script.find("@DIR@")) != std::string::npos;)
            script.replace(at, 5, dir);
        write_File(bin + "/" + name, script, 0755);
    }

    // A fake `name` that records each call as one line of calls_Path(name),
    // "argc=N [arg1] [arg2] ...", and prints `output` (printf %b escapes).
    void add_Fake_Command(const std::string& name, const std::string& output) {
        write_File(bin + "/" + name,
                   "#!/bin/sh\n"
                   "{ printf 'argc=%s' \"$#\"; for a in \"$@\"; do printf ' [%s]' \"$a\"; "
                   "done; echo; } >> '" +
                       calls_Path(name) + "'\nprintf '%b' '" + output + "'\n",
                   0755);
    }
    std::string calls_Path(const std::string& name) const { return dir + "/" + name + ".calls"; }
    // Every call of the fake `name` so far.
    std::string get_Calls(const std::string& name) const { return read_File(calls_Path(name)); }

    std::string bin;
    std::string old_path;
};

// ---- Test bodies in a child process ------------------------------------------

// Whether run_In_Child gives the child a mount namespace of its own.
enum Child_Mounts { HOST_MOUNTS, PRIVATE_MOUNTS };

struct Child_Result {
    bool skipped = false; // no private mount namespace could be made
    std::string results;  // what the body wrote, then any failure of the child
    std::string log;      // the child's standard output and error, when collected
};

// Runs `body` in a child process and returns what it wrote to its stream.
// With PRIVATE_MOUNTS the child first unshares its mount namespace and makes
// every mount private, so that what the body mounts stays in it; when that is
// refused (not root) the result says `skipped`. The child's standard output
// and error go to `log_path` unless it is empty. The child ends through
// exit(), so that a leak checker built in runs in it too, and is killed after
// two minutes should it hang.
inline Child_Result run_In_Child(const std::string& log_path, Child_Mounts mounts,
                                 const std::function<void(std::ostream&)>& body) {
    Child_Result result;
    int pipe_fds[2];
    if (pipe(pipe_fds) != 0) {
        result.results = "pipe failed";
        return result;
    }
    pid_t child = fork();
    if (child == 0) {
        close(pipe_fds[0]);
        alarm(120);
        if (!log_path.empty()) {
            int log_fd = open(log_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(log_fd, STDOUT_FILENO);
            dup2(log_fd, STDERR_FILENO);
        }
        if (mounts == PRIVATE_MOUNTS &&
            (unshare(CLONE_NEWNS) != 0 ||
             mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0))
            _exit(77);
        std::ostringstream results;
        body(results);
        std::string text = results.str();
        ssize_t written = write(pipe_fds[1], text.data(), text.size());
        exit(written == static_cast<ssize_t>(text.size()) ? 0 : 1);
    }
    close(pipe_fds[1]);
    char chunk[512];
    ssize_t got;
    while ((got = read(pipe_fds[0], chunk, sizeof(chunk))) > 0)
        result.results.append(chunk, static_cast<size_t>(got));
    close(pipe_fds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    result.skipped = WIFEXITED(status) && WEXITSTATUS(status) == 77;
    if (!WIFEXITED(status) || (WEXITSTATUS(status) != 0 && !result.skipped))
        result.results += "child failed, status " + std::to_string(status);
    if (!log_path.empty())
        result.log = read_File(log_path);
    return result;
}

// ---- Log lines -----------------------------------------------------------------

// Sends every log line into a temporary file for the life of the object,
// then puts the console streams back.
class Log_Capture {
public:
    Log_Capture() : path(testing::TempDir() + "log_capture_XXXXXX") {
        int fd = mkstemp(&path[0]);
        if (fd >= 0)
            close(fd);
        EXPECT_EQ(set_Log_Output_File(path.c_str(), "w"), 0);
    }
    ~Log_Capture() {
        // A failing open leaves the console streams in place.
        set_Log_Output_File("/nonexistent-dir/log", "w");
        unlink(path.c_str());
    }
    Log_Capture(const Log_Capture&) = delete;
    Log_Capture& operator=(const Log_Capture&) = delete;

    // Everything logged so far.
    std::string text() const { return read_File(path); }

private:
    std::string path;
};
