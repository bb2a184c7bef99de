// eth0 as the card's host sees it.

#include "eth0_watch.h"

#include <arpa/inet.h>
#include <cstring>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace figures {

namespace {

// A socket belongs to the network namespace it was made in. The thread that
// makes it joins the daemon's namespace and ends, so that no thread of this
// program stays in it.
int socket_in_namespace_of(pid_t pid) {
    int fd = -1;
    std::thread([&] {
        int ns = open(("/proc/" + std::to_string(pid) + "/ns/net").c_str(), O_RDONLY | O_CLOEXEC);
        if (ns >= 0 && setns(ns, CLONE_NEWNET) == 0) {
            fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        }
        if (ns >= 0) {
            close(ns);
        }
    }).join();
    return fd;
}

} // namespace

Eth0Watch::Eth0Watch(const Bench& bench) : bench_(bench) {
    pid_t pid = bench.daemon_pid();
    if (pid > 0) {
        fd_ = socket_in_namespace_of(pid);
    }
}

Eth0Watch::~Eth0Watch() {
    if (fd_ >= 0) {
        close(fd_);
    }
}

std::string Eth0Watch::address() const {
    ifreq req{};
    snprintf(req.ifr_name, sizeof(req.ifr_name), "%s", "eth0");
    if (fd_ < 0 || ioctl(fd_, SIOCGIFADDR, &req) != 0) {
        return "";
    }
    sockaddr_in in{};
    memcpy(&in, &req.ifr_addr, sizeof(in));
    char text[INET_ADDRSTRLEN] = {};
    return inet_ntop(AF_INET, &in.sin_addr, text, sizeof(text)) != nullptr ? text : "";
}

double Eth0Watch::wait_for(const std::string& address, std::chrono::milliseconds timeout) const {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (this->address() == address) {
            return bench_.now();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return -1;
}

} // namespace figures
