// Child processes for the bench's tests and the unit tests.
#include "testkit/processes.h"

#include "testkit/files.h"
#include "testkit/namespaces.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <sstream>

namespace {

// Exit status of a child whose private namespaces were refused.
const int no_private_namespaces = 77;

// In the child of run_In_Child: the alarm, the log and the namespaces.
void prepare_Child(const std::string& log_path, int namespaces) {
    alarm(120);
    if (!log_path.empty()) {
        Unique_Fd log_fd(open(log_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644));
        dup2(log_fd.get(), STDOUT_FILENO);
        dup2(log_fd.get(), STDERR_FILENO);
    }
    if (namespaces != HOST_NAMESPACES && !enter_Private_Namespaces(namespaces).empty())
        _exit(no_private_namespaces);
}

} // namespace

Child_Process::Child_Process(const std::function<void(int results_fd)>& body) {
    int pipe_fds[2];
    if (pipe2(pipe_fds, O_CLOEXEC) != 0)
        return;
    Unique_Fd read_end(pipe_fds[0]);
    Unique_Fd write_end(pipe_fds[1]);
    pid_ = fork();
    if (pid_ == 0) {
        read_end.reset(-1);
        body(write_end.get());
        _exit(0);
    }
    results_fd_ = std::move(read_end);
}

Child_Process::~Child_Process() {
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
}

std::string Child_Process::read_Results() const {
    std::string results;
    char chunk[512];
    ssize_t got = 0;
    while (results_fd_.valid() && (got = read(results_fd_.get(), chunk, sizeof(chunk))) > 0)
        results.append(chunk, static_cast<size_t>(got));
    return results;
}

int Child_Process::end(int signal_number) {
    int status = 0;
    if (pid_ > 0 && signal_number != 0)
        kill(pid_, signal_number);
    if (pid_ > 0 && waitpid(pid_, &status, 0) == pid_)
        pid_ = -1;
    return status;
}

Child_Result run_In_Child(const std::string& log_path, int namespaces,
                          const std::function<void(std::ostream&)>& body) {
    Child_Process child([&](int results_fd) {
        prepare_Child(log_path, namespaces);
        std::ostringstream results;
        body(results);
        exit(write_All(results_fd, results.str()) == 0 ? 0 : 1);
    });
    Child_Result result;
    result.results = child.started() ? child.read_Results() : "fork failed";
    int status = child.end();
    result.skipped = WIFEXITED(status) && WEXITSTATUS(status) == no_private_namespaces;
    if (!WIFEXITED(status) || (WEXITSTATUS(status) != 0 && !result.skipped))
        result.results += "child failed, status " + std::to_string(status);
    if (!log_path.empty())
        result.log = read_File(log_path);
    return result;
}
