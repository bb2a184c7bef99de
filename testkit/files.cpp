// Files and directories for the bench and the tests.
#include "testkit/files.h"

#include "os_wrappers.h"

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <sstream>
#include <stdexcept>

std::string read_File(const std::string& path, int* error) {
    std::string content;
    Unique_Fd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    int failure = fd.valid() ? 0 : errno;
    char chunk[4096];
    while (failure == 0) {
        ssize_t got = read(fd.get(), chunk, sizeof(chunk));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            failure = errno;
        if (got <= 0)
            break;
        content.append(chunk, static_cast<size_t>(got));
    }
    if (error != nullptr)
        *error = failure;
    return failure == 0 ? content : std::string();
}

std::vector<std::string> lines_Of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

int write_All(int fd, const std::string& content) {
    size_t done = 0;
    while (done < content.size()) {
        ssize_t written = write(fd, content.data() + done, content.size() - done);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return written < 0 ? errno : EIO;
        done += static_cast<size_t>(written);
    }
    return 0;
}

int write_File(const std::string& path, const std::string& content, mode_t mode) {
    Unique_Fd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode));
    if (!fd.valid())
        return errno;
    if (int error = write_All(fd.get(), content))
        return error;
    // The umask may have narrowed the mode at creation.
    if (fchmod(fd.get(), mode) != 0)
        return errno;
    // A write error may show only at close.
    return fd.close_Now() == 0 ? 0 : errno;
}

int replace_Whole_File(const std::string& path, const std::string& content, mode_t mode) {
    std::string new_path = path + ".new";
    int error = write_File(new_path, content, mode);
    if (error == 0 && rename(new_path.c_str(), path.c_str()) != 0) {
        error = errno;
        unlink(new_path.c_str());
    }
    return error;
}

int make_Dirs(const std::string& path) {
    std::string partial = !path.empty() && path[0] == '/' ? "/" : "";
    std::istringstream parts(path);
    for (std::string part; std::getline(parts, part, '/');) {
        if (part.empty())
            continue;
        partial += part + "/";
        if (mkdir(partial.c_str(), 0755) != 0 && errno != EEXIST)
            return errno;
    }
    return 0;
}

namespace {

// One entry of remove_Tree's walk, the deepest first. An entry that is
// already gone (another process sweeping the same tree) is no failure: the
// walk goes on.
int remove_Entry(const char* path, const struct stat*, int, FTW*) {
    return remove(path) == 0 || errno == ENOENT ? 0 : errno;
}

} // namespace

int remove_Tree(const std::string& path) {
    int result = nftw(path.c_str(), remove_Entry, 16, FTW_DEPTH | FTW_PHYS);
    if (result < 0)
        return errno == ENOENT ? 0 : errno;
    return result;
}

bool file_Exists(const std::string& path) {
    struct stat st = {};
    return lstat(path.c_str(), &st) == 0;
}

bool is_Directory(const std::string& path) {
    struct stat st = {};
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

int file_Mode(const std::string& path) {
    struct stat st = {};
    if (stat(path.c_str(), &st) != 0)
        return -1;
    return static_cast<int>(st.st_mode & 07777);
}

std::vector<std::string> list_Directory(const std::string& path) {
    std::vector<std::string> names;
    std::unique_ptr<DIR, int (*)(DIR*)> directory(opendir(path.c_str()), closedir);
    if (directory == nullptr)
        return names;
    while (const dirent* entry = readdir(directory.get()))
        names.emplace_back(entry->d_name);
    return names;
}

Temp_Dir::Temp_Dir(const std::string& prefix, const std::string& base) {
    make_Dirs(base);
    std::string pattern = base + "/" + prefix + "." + std::to_string(getpid()) + ".XXXXXX";
    if (mkdtemp(&pattern[0]) == nullptr)
        throw std::runtime_error("cannot create a temporary directory " + pattern);
    path_ = pattern;
    // mkdtemp makes it private (0700); open it like the host directories
    // whose files it may stand for.
    chmod(path_.c_str(), 0755);
}

Temp_Dir::~Temp_Dir() {
    if (!kept())
        remove_Tree(path_);
}

bool Temp_Dir::kept() {
    return getenv(keep_Variable) != nullptr;
}
