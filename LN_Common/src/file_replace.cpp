// Replacing a configuration file whole: a temporary file in the target's
// directory gets the content, the target's owner, group and mode, and is
// flushed to disk before rename() puts it in the target's place; the
// directory is flushed after it, so the new name survives a power cut.
#include "file_replace.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "log.h"
#include "os_wrappers.h"

static const char* const __log_tag = "File";

namespace {

// ---- File system calls -----------------------------------------------------

// Writes all of `content` at the descriptor's position. 0 or an errno value.
int write_All(int fd, const std::string& content) {
    const char* data = content.data();
    size_t left = content.size();
    while (left > 0) {
        ssize_t written = write(fd, data, left);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        data += written;
        left -= static_cast<size_t>(written);
    }
    return 0;
}

// Flushes a directory so that a rename in it is on disk. Some file systems
// cannot flush directories; the file itself is already safe then.
void sync_Directory(const std::string& dir) {
    Unique_Fd fd(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.valid())
        fsync(fd.get());
}

// ---- Paths -----------------------------------------------------------------

std::string get_Directory(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string get_Base_Name(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The file a write to `path` lands in: the end of a chain of symbolic links
// (also when it does not exist yet), else `path` itself.
std::string resolve_Links(const char* path) {
    std::string target = path;
    for (int hops = 0; hops < 40; hops++) { // the kernel's own limit
        struct stat st;
        if (lstat(target.c_str(), &st) != 0 || !S_ISLNK(st.st_mode))
            return target;
        char link[PATH_MAX];
        ssize_t length = readlink(target.c_str(), link, sizeof(link) - 1);
        if (length < 0)
            return target;
        link[length] = '\0';
        target = link[0] == '/' ? std::string(link) : get_Directory(target) + "/" + link;
    }
    return target;
}

// ---- The two ways of writing --------------------------------------------------

// Overwrites the file in place: for a target that is a mount point, which
// rename() cannot replace. Not safe against a crash part-way.
int rewrite_In_Place(const std::string& target, const std::string& content) {
    Unique_Fd fd(open(target.c_str(), O_WRONLY | O_CLOEXEC));
    if (!fd.valid())
        return errno;
    static std::atomic<bool> logged(false);
    if (!logged.exchange(true))
        LOG_WARN("%s cannot be replaced (a mount point?), rewriting it in place", target.c_str());
    int error = write_All(fd.get(), content);
    if (error != 0)
        return error;
    if (ftruncate(fd.get(), static_cast<off_t>(content.size())) != 0 || fsync(fd.get()) != 0)
        return errno;
    return fd.close_Now() == 0 ? 0 : errno;
}

// Fills a fresh temporary file with `content` and the wanted owner and mode.
// 0 or an errno value.
int fill_Temporary(int fd, const std::string& content, const struct stat* old, mode_t mode) {
    if (old != nullptr && fchown(fd, old->st_uid, old->st_gid) != 0)
        return errno;
    if (fchmod(fd, mode) != 0)
        return errno;
    int error = write_All(fd, content);
    if (error != 0)
        return error;
    return fsync(fd) == 0 ? 0 : errno;
}

bool is_Rename_Impossible(int error) {
    // EBUSY: the target is a mount point; EXDEV: it is mounted from another
    // file system than its directory; EROFS: only the target is writable.
    return error == EBUSY || error == EXDEV || error == EROFS;
}

} // namespace

int replace_File(const char* path, const std::string& content, mode_t mode, File_Mode_Rule rule) {
    const std::string target = resolve_Links(path);
    const std::string dir = get_Directory(target);
    struct stat old;
    const bool exists = stat(target.c_str(), &old) == 0;
    const mode_t new_mode = exists && rule == File_Mode_Rule::KEEP ? (old.st_mode & 07777) : mode;

    // A leading dot keeps the temporary file out of every manager's view
    // (netplan reads *.yaml, ifupdown and NetworkManager skip hidden files).
    std::string temporary = dir + "/." + get_Base_Name(target) + ".XXXXXX";
    Unique_Fd fd(mkostemp(&temporary[0], O_CLOEXEC));
    if (!fd.valid()) {
        int error = errno;
        return exists && is_Rename_Impossible(error) ? rewrite_In_Place(target, content) : error;
    }
    int error = fill_Temporary(fd.get(), content, exists ? &old : nullptr, new_mode);
    if (error == 0 && fd.close_Now() != 0)
        error = errno;
    if (error == 0 && rename(temporary.c_str(), target.c_str()) != 0)
        error = errno;
    if (error != 0) {
        unlink(temporary.c_str());
        return exists && is_Rename_Impossible(error) ? rewrite_In_Place(target, content) : error;
    }
    sync_Directory(dir);
    return 0;
}
