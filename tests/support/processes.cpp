// Child processes for the tests.
#include "support/processes.h"

#include "support/files.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <sstream>

namespace {

// Exit status of a child whose private mount namespace was refused.
const int no_private_mounts = 77;

// In the child of run_In_Child: the alarm, the log and the namespace.
void prepare_Child(const std::string& log_path, Child_Mounts mounts) {
    alarm(120);
    if (!log_path.empty()) {
        int log_fd = open(log_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(log_fd, STDOUT_FILENO);
        dup2(log_fd, STDERR_FILENO);
    }
    if (mounts == PRIVATE_MOUNTS &&
        (unshare(CLONE_NEWNS) != 0 ||
         mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0))
        _exit(no_private_mounts);
}

} // namespace

Child_Process::Child_Process(const std::function<void(int results_fd)>& body) {
    int pipe_fds[2];
    if (pipe2(pipe_fds, O_CLOEXEC) != 0)
        return;
    pid_ = fork();
    if (pid_ == 0) {
        close(pipe_fds[0]);
        body(pipe_fds[1]);
        _exit(0);
    }
    close(pipe_fds[1]);
    results_fd_ = pipe_fds[0];
}

Child_Process::~Child_Process() {
    if (results_fd_ >= 0)
        close(results_fd_);
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
}

std::string Child_Process::read_Results() const {
    std::string results;
    char chunk[512];
    ssize_t got = 0;
    while (results_fd_ >= 0 && (got = read(results_fd_, chunk, sizeof(chunk))) > 0)
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

bool write_All(int fd, const std::string& text) {
    size_t done = 0;
    ssize_t written = 0;
    while (done < text.size() && (written = write(fd, text.data() + done, text.size() - done)) > 0)
        done += static_cast<size_t>(written);
    return done == text.size();
}

Child_Result run_In_Child(const std::string& log_path, Child_Mounts mounts,
                          const std::function<void(std::ostream&)>& body) {
    Child_Process child([&](int results_fd) {
        prepare_Child(log_path, mounts);
        std::ostringstream results;
        body(results);
        exit(write_All(results_fd, results.str()) ? 0 : 1);
    });
    Child_Result result;
    result.results = child.started() ? child.read_Results() : "fork failed";
    int status = child.end();
    result.skipped = WIFEXITED(status) && WEXITSTATUS(status) == no_private_mounts;
    if (!WIFEXITED(status) || (WEXITSTATUS(status) != 0 && !result.skipped))
        result.results += "child failed, status " + std::to_string(status);
    if (!log_path.empty())
        result.log = read_File(log_path);
    return result;
}

std::vector<pid_t> pids_With_Environment(const std::string& entry) {
    std::vector<pid_t> pids;
    for (const std::string& name : list_Directory("/proc")) {
        char* end = nullptr;
        long pid = strtol(name.c_str(), &end, 10);
        if (end == name.c_str() || *end != '\0' || pid <= 0)
            continue;
        std::istringstream environment(read_File("/proc/" + name + "/environ"));
        for (std::string variable; std::getline(environment, variable, '\0');) {
            if (variable == entry) {
                pids.push_back(static_cast<pid_t>(pid));
                break;
            }
        }
    }
    return pids;
}
