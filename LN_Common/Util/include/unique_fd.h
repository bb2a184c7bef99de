// Owners of the descriptors and streams the modules open: a file descriptor
// (`Unique_Fd`), a stdio file (`File_Ptr`) and a command pipe (`Pipe_Ptr`).
// Each is closed exactly once, when its owner goes out of scope.
#pragma once

#include <unistd.h>

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

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
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

struct Pipe_Closer {
    void operator()(FILE* pipe) const { pclose(pipe); }
};
using Pipe_Ptr = std::unique_ptr<FILE, Pipe_Closer>;
