// eth0 as the card's host sees it: the IPv4 address of the interface in the
// daemon's network namespace, read through a socket made in that namespace,
// and the moment an address appears.
#pragma once

#include "bench_run.h"

#include <chrono>
#include <string>

namespace figures {

class Eth0Watch {
public:
    // A socket in the network namespace of the bench's daemon.
    explicit Eth0Watch(const Bench& bench);
    ~Eth0Watch();
    Eth0Watch(const Eth0Watch&) = delete;
    Eth0Watch& operator=(const Eth0Watch&) = delete;

    bool ready() const { return fd_ >= 0; }
    // eth0's address ("" when it has none).
    std::string address() const;
    // Looks every millisecond; the bench time at which eth0 first had
    // `address`, or -1 when it did not within `timeout`.
    double wait_for(const std::string& address, std::chrono::milliseconds timeout) const;

private:
    const Bench& bench_;
    int fd_ = -1;
};

} // namespace figures
