// The small wrappers of operating-system calls that the modules share:
// owners of a file descriptor (`Unique_Fd`), a stdio file (`File_Ptr`) and
// a held pthread mutex (`Mutex_Guard`), each released exactly once when its
// owner goes out of scope; and the I2C slave selection.
#pragma once

#include <linux/i2c-dev.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <memory>

class Unique_Fd {
public:
    explicit Unique_Fd(int fd = -1) : fd_(fd) {}
    ~Unique_Fd() {
        if (fd_ >= 0)
            close(fd_);
    }
    Unique_Fd(const Unique_Fd&) = delete;
    Unique_Fd& operator=(const Unique_Fd&) = delete;
    // A moved-from owner holds nothing.
    Unique_Fd(Unique_Fd&& other) noexcept : fd_(other.release()) {}
    Unique_Fd& operator=(Unique_Fd&& other) noexcept {
        if (this != &other)
            reset(other.release());
        return *this;
    }

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    // Gives the descriptor up without closing it.
    int release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    // Closes the held descriptor and holds `fd` instead.
    void reset(int fd) {
        if (fd_ >= 0)
            close(fd_);
        fd_ = fd;
    }
    // Closes now and returns close()'s result: a failed close can lose data
    // written through the descriptor, so writers check it.
    int close_Now() {
        int result = fd_ >= 0 ? close(fd_) : 0;
        fd_ = -1;
        return result;
    }

private:
    int fd_;
};

struct File_Closer {
    void operator()(FILE* file) const { fclose(file); }
};
using File_Ptr = std::unique_ptr<FILE, File_Closer>;

class Mutex_Guard {
public:
    explicit Mutex_Guard(pthread_mutex_t* mutex) : mutex_(mutex) { pthread_mutex_lock(mutex_); }
    ~Mutex_Guard() { pthread_mutex_unlock(mutex_); }
    Mutex_Guard(const Mutex_Guard&) = delete;
    Mutex_Guard& operator=(const Mutex_Guard&) = delete;

private:
    pthread_mutex_t* mutex_;
};

// Addresses the 7-bit slave `address` for the transfers that follow on the
// I2C bus `fd`. The result is not examined, by design: a wrong or absent
// slave shows in the transfer itself, whose result every caller checks.
inline void select_Slave(int fd, uint8_t address) {
    ioctl(fd, I2C_SLAVE, static_cast<unsigned long>(address));
}
