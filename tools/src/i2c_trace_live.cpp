// The I2C trace events in tracefs: saved, turned on for one adapter,
// followed through trace_pipe and put back.
#include "i2c_trace_live.h"

#include "os_wrappers.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

const char* const tracefs_roots[] = {"/sys/kernel/tracing", "/sys/kernel/debug/tracing"};
const char* const i2c_events[] = {"i2c_write", "i2c_read", "i2c_reply", "i2c_result"};

// Raw calls on tracefs files.
bool read_Text_File(const std::string& path, std::string* text) {
    Unique_Fd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.valid())
        return false;
    char buffer[4096];
    ssize_t n = read(fd.get(), buffer, sizeof(buffer) - 1);
    if (n < 0)
        return false;
    *text = std::string(buffer, static_cast<size_t>(n));
    return true;
}

bool write_Text_File(const std::string& path, const std::string& text) {
    Unique_Fd fd(open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC));
    if (!fd.valid())
        return false;
    ssize_t n = write(fd.get(), text.data(), text.size());
    return n == static_cast<ssize_t>(text.size()) && fd.close_Now() == 0;
}

std::string get_Error(const std::string& what, const std::string& path) {
    return what + " " + path + ": " + strerror(errno);
}

// The tracefs directory that holds the I2C events into `*root`, else what
// is wrong: not allowed to look (not root), not mounted, or a kernel
// without them.
std::string find_Root(std::string* root) {
    std::string mounted;
    for (const char* place : tracefs_roots) {
        const std::string events = std::string(place) + "/events";
        if (access((events + "/i2c/i2c_write/enable").c_str(), F_OK) == 0) {
            *root = place;
            return "";
        }
        if (errno == EACCES)
            return get_Error("cannot read tracefs at", place) + " (--live needs root)";
        if (mounted.empty() && access(events.c_str(), F_OK) == 0)
            mounted = place;
    }
    if (!mounted.empty())
        return "this kernel has no I2C trace events (none in " + mounted + "/events)";
    return "tracefs is not mounted at /sys/kernel/tracing or /sys/kernel/debug/tracing";
}

// The value to write back: "0" or "1" of an enable file ("1*": soft
// disabled, still on); "0" clears a filter that reads "none".
std::string get_Restore_Value(const std::string& path, const std::string& text) {
    std::string value = text.substr(0, text.find('\n'));
    if (path.size() > 7 && path.compare(path.size() - 7, 7, "/enable") == 0)
        return value.substr(0, 1);
    if (value == "none" || value.empty())
        return "0";
    return value;
}

sigset_t get_Stop_Signals() {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGHUP);
    return signals;
}

} // namespace

I2C_Trace_Session::I2C_Trace_Session(std::string root) : root_(std::move(root)) {}

I2C_Trace_Session::~I2C_Trace_Session() {
    restore();
}

std::string I2C_Trace_Session::start(int adapter) {
    // A stop signal from here on waits for follow(), so that nothing ends
    // the process with the events left on.
    const sigset_t signals = get_Stop_Signals();
    if (!signals_blocked_)
        pthread_sigmask(SIG_BLOCK, &signals, &old_signals_);
    signals_blocked_ = true;
    if (root_.empty()) {
        std::string error = find_Root(&root_);
        if (!error.empty())
            return error;
    }

    std::vector<Saved_Value> found;
    std::vector<std::pair<std::string, std::string>> wanted;
    const std::string filter = "adapter_nr == " + std::to_string(adapter);
    for (const char* event : i2c_events) {
        const std::string dir = root_ + "/events/i2c/" + event;
        found.push_back({dir + "/filter", ""});
        wanted.emplace_back(dir + "/filter", filter);
    }
    for (const char* event : i2c_events) {
        const std::string dir = root_ + "/events/i2c/" + event;
        found.push_back({dir + "/enable", ""});
        wanted.emplace_back(dir + "/enable", "1");
    }
    found.push_back({root_ + "/tracing_on", ""});
    wanted.emplace_back(root_ + "/tracing_on", "1");

    for (Saved_Value& value : found) {
        std::string text;
        if (!read_Text_File(value.path, &text))
            return get_Error("cannot read", value.path);
        value.value = get_Restore_Value(value.path, text);
    }
    for (size_t i = 0; i < wanted.size(); ++i) {
        if (!write_Text_File(wanted[i].first, wanted[i].second)) {
            std::string error = get_Error("cannot write", wanted[i].first);
            restore();
            return error;
        }
        saved_.push_back(found[i]);
    }
    return "";
}

std::string I2C_Trace_Session::follow(const Wire_Line_Splitter::Handler& line) {
    const std::string pipe_path = get_Pipe_Path();
    Unique_Fd pipe(open(pipe_path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (!pipe.valid())
        return get_Error("cannot open", pipe_path);
    const sigset_t signals = get_Stop_Signals();
    Unique_Fd stop(signalfd(-1, &signals, SFD_CLOEXEC));
    if (!stop.valid())
        return std::string("cannot wait for signals: ") + strerror(errno);

    Wire_Line_Splitter splitter;
    char buffer[8192];
    while (true) {
        struct pollfd fds[2] = {{pipe.get(), POLLIN, 0}, {stop.get(), POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return std::string("poll: ") + strerror(errno);
        }
        if ((fds[1].revents & POLLIN) != 0) {
            // Taken, so that it does not end the process once unblocked.
            struct signalfd_siginfo taken;
            if (read(stop.get(), &taken, sizeof(taken)) < 0)
                return std::string("cannot take the signal: ") + strerror(errno);
            return "";
        }
        if ((fds[0].revents & (POLLIN | POLLHUP | POLLERR)) == 0)
            continue;
        ssize_t n = read(pipe.get(), buffer, sizeof(buffer));
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            continue;
        if (n < 0)
            return get_Error("cannot read", pipe_path);
        if (n == 0) { // a regular file (not tracefs) at its end
            usleep(100000);
            continue;
        }
        if (!splitter.take(buffer, static_cast<size_t>(n), line))
            return "";
    }
}

void I2C_Trace_Session::restore() {
    while (!saved_.empty()) {
        // A value that cannot be put back is reported and the others still are.
        if (!write_Text_File(saved_.back().path, saved_.back().value))
            fprintf(stderr, "pec-decode: cannot restore %s to \"%s\": %s\n",
                    saved_.back().path.c_str(), saved_.back().value.c_str(), strerror(errno));
        saved_.pop_back();
    }
    if (signals_blocked_)
        pthread_sigmask(SIG_SETMASK, &old_signals_, nullptr);
    signals_blocked_ = false;
}
