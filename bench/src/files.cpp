// Small helpers for the files of a run directory.

#include "files.h"

#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <memory>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace pec_bench {

void UniqueFd::reset(int fd) {
    if (fd_ >= 0) {
        ::close(fd_);
    }
    fd_ = fd;
}

int UniqueFd::close() {
    int fd = std::exchange(fd_, -1);
    return fd < 0 || ::close(fd) == 0 ? 0 : errno;
}

int write_file(const std::string& path, const std::string& content, mode_t mode) {
    UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode));
    if (!fd.valid()) {
        return errno;
    }
    const char* p = content.data();
    size_t left = content.size();
    while (left > 0) {
        ssize_t n = ::write(fd.get(), p, left);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return n < 0 ? errno : EIO;
        }
        p += n;
        left -= static_cast<size_t>(n);
    }
    // The umask may have narrowed the mode at creation.
    if (fchmod(fd.get(), mode) != 0) {
        return errno;
    }
    return fd.close();
}

int replace_file(const std::string& path, const std::string& content) {
    std::string tmp = path + ".new";
    int err = write_file(tmp, content);
    if (err == 0 && rename(tmp.c_str(), path.c_str()) != 0) {
        err = errno;
        unlink(tmp.c_str());
    }
    return err;
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

int make_dirs(const std::string& path) {
    std::string partial = !path.empty() && path[0] == '/' ? "/" : "";
    std::istringstream in(path);
    std::string part;
    while (std::getline(in, part, '/')) {
        if (part.empty()) {
            continue;
        }
        partial += part;
        partial += '/';
        if (mkdir(partial.c_str(), 0755) != 0 && errno != EEXIST) {
            return errno;
        }
    }
    return 0;
}

void remove_tree(const std::string& path) {
    std::unique_ptr<DIR, int (*)(DIR*)> dir(opendir(path.c_str()), closedir);
    if (dir == nullptr) {
        unlink(path.c_str());
        return;
    }
    while (const dirent* e = readdir(dir.get())) {
        std::string name = e->d_name;
        if (name == "." || name == "..") {
            continue;
        }
        std::string child = path;
        child += '/';
        child += name;
        struct stat st {};
        if (lstat(child.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
            remove_tree(child);
        } else {
            unlink(child.c_str());
        }
    }
    dir.reset();
    rmdir(path.c_str());
}

} // namespace pec_bench
