// Files and directories for the bench and the tests: whole-file reads,
// writes and replacements, directory trees, what a path is, a directory's
// names, and a temporary directory that removes itself. Failures are
// reported as errno values (0 is success), so that a caller can name what
// went wrong.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

// The whole content of `path`; "" when it cannot be read, and then the
// errno value in `*error` when given (0 after a read).
std::string read_File(const std::string& path, int* error = nullptr);

// The lines of `text` (a file's content), without their line feeds.
std::vector<std::string> lines_Of(const std::string& text);

// Writes all of `content` to `fd`; 0 or an errno value.
int write_All(int fd, const std::string& content);

// Creates or truncates `path`, writes `content` whole and gives the file
// `mode` exactly (whatever the umask).
int write_File(const std::string& path, const std::string& content, mode_t mode = 0600);

// Replaces `path` whole: a new file, written beside it, renamed over it, so
// that a reader never sees it half-written.
int replace_Whole_File(const std::string& path, const std::string& content, mode_t mode = 0644);

// mkdir -p, with mode 0755.
int make_Dirs(const std::string& path);

// rm -rf: the tree at `path`, without following links; 0 when it is gone
// (also when it was never there).
int remove_Tree(const std::string& path);

// Whether `path` names anything (a dangling link counts).
bool file_Exists(const std::string& path);
bool is_Directory(const std::string& path);
// Permission bits of `path`, -1 when it is missing.
int file_Mode(const std::string& path);

// The names in directory `path` ("." and ".." included), in the order the
// directory gives them; empty when it cannot be read.
std::vector<std::string> list_Directory(const std::string& path);

// A fresh directory "<base>/<prefix>.<pid>.XXXXXX" of mode 0755 (its base
// made first when missing), removed with everything in it when the owner
// ends, unless the environment sets keep_Variable. The process id in the
// name lets a later run tell that a directory was left behind by a process
// that is gone. The constructor throws std::runtime_error when the
// directory cannot be made.
class Temp_Dir {
public:
    static constexpr const char* keep_Variable = "PEC_KEEP_TEMP";

    explicit Temp_Dir(const std::string& prefix, const std::string& base = "/tmp");
    ~Temp_Dir();
    Temp_Dir(const Temp_Dir&) = delete;
    Temp_Dir& operator=(const Temp_Dir&) = delete;

    const std::string& path() const { return path_; }
    // A path inside it.
    std::string file(const std::string& relative) const { return path_ + "/" + relative; }
    // Whether the directory is left in place when the owner ends.
    static bool kept();

private:
    std::string path_;
};
