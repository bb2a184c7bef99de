// Files and directories for the tests: whole-file reads and writes, what a
// path is, a directory's names, and a temporary directory that removes
// itself.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

// The whole content of `path`; empty when it cannot be read.
std::string read_File(const std::string& path);

// Replaces the content of `path` (creating it if needed) and gives it `mode`.
void write_File(const std::string& path, const std::string& content, mode_t mode = 0600);

// Whether `path` names anything (a dangling link counts).
bool file_Exists(const std::string& path);
bool is_Directory(const std::string& path);
// Permission bits of `path`, -1 when it is missing.
int file_Mode(const std::string& path);

// The names in directory `path` ("." and ".." included), in the order the
// directory gives them; empty when it cannot be read.
std::vector<std::string> list_Directory(const std::string& path);

// A fresh directory "/tmp/<prefix>.XXXXXX", removed with everything in it
// when the object ends. path() is empty when it could not be made.
class Temp_Dir {
public:
    explicit Temp_Dir(const std::string& prefix);
    ~Temp_Dir();
    Temp_Dir(const Temp_Dir&) = delete;
    Temp_Dir& operator=(const Temp_Dir&) = delete;

    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// rm -rf `path`; 0 when it is gone.
int remove_Tree(const std::string& path);
