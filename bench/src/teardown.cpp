// Teardown on a fatal signal: the table of live benches and its handler.
//
// The handler runs at any moment, also while an entry is being filled in or
// freed, so an entry is only acted on while it is LIVE, and its run directory
// is written before and cleared after that state: the handler never sees a
// path half-copied (the first bytes of "/tmp/pec-bench..." are "/tmp").
// Only async-signal-safe calls are made in the handler.

#include "teardown.h"

#include <atomic>
#include <csignal>
#include <cstdio>
#include <mutex>
#include <sys/wait.h>
#include <unistd.h>

namespace pec_bench {

enum EntryState : int { FREE, CLAIMED, LIVE };

struct LiveEntry {
    std::atomic<int> state{FREE};
    std::atomic<pid_t> sandbox{0};
    char run_dir[256] = {0};
};

namespace {

LiveEntry live[16];
std::once_flag handlers_once;

void remove_run_dir(char* dir) {
    pid_t rm = fork();
    if (rm == 0) {
        char* const argv[] = {const_cast<char*>("rm"), const_cast<char*>("-rf"), dir, nullptr};
        execv("/bin/rm", argv);
        _exit(127);
    }
    if (rm > 0) {
        waitpid(rm, nullptr, 0);
    }
}

void emergency_teardown(int sig) {
    for (LiveEntry& e : live) {
        if (e.state.load() != LIVE) {
            continue;
        }
        pid_t p = e.sandbox.load();
        if (p > 0) {
            kill(p, SIGKILL); // the namespace's first process follows (kill-child)
        }
        if (e.run_dir[0] != '\0') {
            remove_run_dir(e.run_dir);
        }
    }
    signal(sig, SIG_DFL);
    raise(sig);
}

void install_handlers() {
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction old {};
        sigaction(sig, nullptr, &old);
        if (old.sa_handler == SIG_DFL) {
            signal(sig, emergency_teardown);
        }
    }
}

} // namespace

LiveSlot::LiveSlot(const std::string& run_dir) {
    std::call_once(handlers_once, install_handlers);
    if (run_dir.size() >= sizeof(LiveEntry::run_dir)) {
        return; // never a cut path: the sweep takes care of it
    }
    for (LiveEntry& e : live) {
        int expected = FREE;
        if (e.state.compare_exchange_strong(expected, CLAIMED)) {
            snprintf(e.run_dir, sizeof(e.run_dir), "%s", run_dir.c_str());
            e.sandbox.store(0);
            e.state.store(LIVE);
            entry_ = &e;
            return;
        }
    }
}

LiveSlot::~LiveSlot() {
    if (entry_ == nullptr) {
        return;
    }
    entry_->state.store(CLAIMED);
    entry_->sandbox.store(0);
    entry_->run_dir[0] = '\0';
    entry_->state.store(FREE);
}

void LiveSlot::set_sandbox(pid_t pid) {
    if (entry_ != nullptr) {
        entry_->sandbox.store(pid);
    }
}

} // namespace pec_bench
