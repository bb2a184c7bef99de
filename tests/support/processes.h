// Child processes for the tests: a body run in a forked child that reports
// through a pipe, a test body run in a child (in a private mount namespace
// when asked), and the processes of this machine that carry a given
// environment entry.
#pragma once

#include <sys/types.h>

#include <functional>
#include <ostream>
#include <string>
#include <vector>

// A forked child that runs `body` and then ends with _exit(0) (the body
// may end it sooner); what the body writes to its stream reaches the
// parent through a pipe. A child still running when the object ends is
// killed and reaped.
class Child_Process {
public:
    explicit Child_Process(const std::function<void(std::ostream&)>& body);
    ~Child_Process();
    Child_Process(const Child_Process&) = delete;
    Child_Process& operator=(const Child_Process&) = delete;

    bool started() const { return pid_ > 0; }
    // Everything the child wrote, once it has closed its end (by ending, or
    // by flushing and closing the stream's descriptor, see close_Results).
    std::string read_Results();
    void signal(int signal_number) const;
    // Waits for the child's end; its wait status.
    int wait();

    // In the child: sends what `out` holds and closes the pipe, so that the
    // parent's read_Results returns while the child goes on.
    static void close_Results(std::ostream& out);

private:
    pid_t pid_ = -1;
    int results_fd_ = -1;
    bool reaped_ = false;
    int status_ = 0;
};

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
