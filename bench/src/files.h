// Small helpers for the files of a run directory: an owned descriptor,
// whole-file writes and reads, directory trees. Failures are errno values
// (0 is success) so that a caller can name what went wrong.
#pragma once

#include <string>
#include <sys/types.h>
#include <utility>

namespace pec_bench {

// A descriptor closed when its owner ends.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) {
            reset(std::exchange(other.fd_, -1));
        }
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    void reset(int fd = -1);
    // Closes now; 0 or the errno of close (a write error may show only here).
    int close();

private:
    int fd_ = -1;
};

// Creates or truncates `path` and writes `content` whole with `mode`.
int write_file(const std::string& path, const std::string& content, mode_t mode = 0644);
// Replaces a file whole (a new file renamed over it), so that a reader never
// sees it half-written.
int replace_file(const std::string& path, const std::string& content);
// The whole file, or "" when it cannot be read.
std::string read_file(const std::string& path);
// mkdir -p, with mode 0755.
int make_dirs(const std::string& path);
// rm -rf: the tree below `path`, without following links.
void remove_tree(const std::string& path);

} // namespace pec_bench
