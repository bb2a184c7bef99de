// Files and directories for the tests.
#include "support/files.h"

#include "support/shell.h"

#include <dirent.h>
#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>

std::string read_File(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream content;
    content << file.rdbuf();
    return content.str();
}

void write_File(const std::string& path, const std::string& content, mode_t mode) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
    chmod(path.c_str(), mode);
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

Temp_Dir::Temp_Dir(const std::string& prefix) {
    std::string pattern = "/tmp/" + prefix + ".XXXXXX";
    if (mkdtemp(&pattern[0]) != nullptr)
        path_ = pattern;
}

Temp_Dir::~Temp_Dir() {
    if (!path_.empty())
        remove_Tree(path_);
}

int remove_Tree(const std::string& path) {
    return run_Shell("rm -rf " + shell_Quote(path));
}
