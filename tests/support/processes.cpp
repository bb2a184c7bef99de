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

// The pipe's write end in a child, for close_Results.
int child_results_fd = -1;

// Writes `text` whole to `fd`; false when it could not.
bool write_All(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t written = write(fd, text.data() + done, text.size() - done);
        if (written <= 0)
            return false;
        done += static_cast<size_t>(written);
    }
    return true;
}

// Exit status of a child whose private mount namespace was refused.
const int no_private_mounts = 77;

// In the child of run_In_Child: the log, the alarm and the namespace.
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

Child_Process::Child_Process(const std::function<void(std::ostream&)>& body) {
    // Close-on-exec: a program the body starts must not hold the pipe open.
    int pipe_fds[2];
    if (pipe2(pipe_fds, O_CLOEXEC) != 0)
        return;
    pid_ = fork();
    if (pid_ == 0) {
        close(pipe_fds[0]);
        child_results_fd = pipe_fds[1];
        std::ostringstream out;
        body(out);
        close_Results(out);
        _exit(0);
    }
    close(pipe_fds[1]);
    results_fd_ = pipe_fds[0];
    if (pid_ < 0) {
        close(results_fd_);
        results_fd_ = -1;
    }
}

Child_Process::~Child_Process() {
    if (results_fd_ >= 0)
        close(results_fd_);
    if (pid_ > 0 && !reaped_) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
}

std::string Child_Process::read_Results() {
    std::string results;
    char chunk[512];
    ssize_t got = 0;
    while (results_fd_ >= 0 && (got = read(results_fd_, chunk, sizeof(chunk))) > 0)
        results.append(chunk, static_cast<size_t>(got));
    return results;
}

void Child_Process::signal(int signal_number) const {
    if (pid_ > 0)
        kill(pid_, signal_number);
}

int Child_Process::wait() {
    if (pid_ > 0 && !reaped_ && waitpid(pid_, &status_, 0) == pid_)
        reaped_ = true;
    return status_;
}

void Child_Process::close_Results(std::ostream& out) {
    if (child_results_fd < 0)
        return;
    const auto* text = dynamic_cast<std::ostringstream*>(&out);
    if (text != nullptr && !write_All(child_results_fd, text->str()))
        exit(1);
    close(child_results_fd);
    child_results_fd = -1;
}

Child_Result run_In_Child(const std::string& log_path, Child_Mounts mounts,
                          const std::function<void(std::ostream&)>& body) {
    Child_Result result;
    Child_Process child([&](std::ostream& out) {
        prepare_Child(log_path, mounts);
        body(out);
        Child_Process::close_Results(out);
        exit(0);
    });
    if (!child.started())
        return Child_Result{false, "fork failed", ""};
    result.results = child.read_Results();
    int status = child.wait();
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
