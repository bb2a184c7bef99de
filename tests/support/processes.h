// Child processes for the tests: a forked child that reports through a
// pipe, a test body run in a child (in a private mount namespace when
// asked), and the processes that carry a given environment entry.
#pragma once

#include <sys/types.h>

#include <functional>
#include <ostream>
#include <string>
#include <vector>

// A forked child that runs `body` with the write end of a pipe (close-on-
// exec, so programs it starts do not hold it), then ends with _exit(0). A
// child still running when the object ends is killed and reaped.
class Child_Process {
public:
    explicit Child_Process(const std::function<void(int results_fd)>& body);
    ~Child_Process();
    Child_Process(const Child_Process&) = delete;
    Child_Process& operator=(const Child_Process&) = delete;

    bool started() const { return pid_ > 0; }
    // What the child wrote, once it has closed its end (or ended).
    std::string read_Results() const;
    // Sends `signal_number` (none for 0), waits for the end; the wait status.
    int end(int signal_number = 0);

private:
    pid_t pid_ = -1;
    int results_fd_ = -1;
};

// Writes `text` whole to `fd`; false when it could not.
bool write_All(int fd, const std::string& text);

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
Child_Result run_In_Child(const std::string& log_path, Child_Mounts mounts,
                          const std::function<void(std::ostream&)>& body);

// The processes whose environment holds exactly `entry` ("NAME=value").
std::vector<pid_t> pids_With_Environment(const std::string& entry);
