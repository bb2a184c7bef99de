// Child processes for the bench's tests and the unit tests: a forked child
// that reports through a pipe, and a test body run in a child (in private
// namespaces when asked).
#pragma once

#include "os_wrappers.h"

#include <sys/types.h>

#include <functional>
#include <ostream>
#include <string>

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
    Unique_Fd results_fd_;
};

// The child of run_In_Child shares the host's namespaces.
const int HOST_NAMESPACES = 0;

struct Child_Result {
    bool skipped = false; // the private namespaces could not be made
    std::string results;  // what the body wrote, then any failure of the child
    std::string log;      // the child's standard output and error, when collected
};

// Runs `body` in a child process and returns what it wrote to its stream.
// With `namespaces` (Private_Namespaces, namespaces.h) the child first enters
// private namespaces, so that what the body mounts or configures stays in
// them; when that is refused (not root) the result says `skipped`. The
// child's standard output and error go to `log_path` unless it is empty. The
// child ends through exit(), so that a leak checker built in runs in it too,
// and is killed after two minutes should it hang.
Child_Result run_In_Child(const std::string& log_path, int namespaces,
                          const std::function<void(std::ostream&)>& body);
