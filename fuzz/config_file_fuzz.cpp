// Fuzzes Config_File on arbitrary file contents, keys, values, separators and
// skip texts, with and without a section scope. Beyond memory errors it
// checks two properties of the setters: set_Data changes only lines that
// hold the key (a line without it keeps its text and order), and
// set_Data_Comment only adds or removes '#' characters.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "config_file_handling.h"
#include "testkit/files.h"

namespace {

// tmpfs: the setters flush every file they write. Removed at exit.
std::unique_ptr<Temp_Dir> directory;
std::string path;

void check(bool holds) {
    if (!holds)
        abort();
}

// The non-empty lines of `content` that do not contain `text`.
std::vector<std::string> lines_Without(const std::string& content, const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream stream(content);
    for (std::string line; std::getline(stream, line);) {
        if (!line.empty() && line.find(text) == std::string::npos)
            lines.push_back(line);
    }
    return lines;
}

std::string without_Hashes(std::string text) {
    text.erase(std::remove(text.begin(), text.end(), '#'), text.end());
    return text;
}

const char* const openers[] = {"iface", "mapping", "auto", "allow-", nullptr};

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    directory = std::make_unique<Temp_Dir>("config_file_fuzz", "/dev/shm");
    path = directory->file("eth0");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider provider(data, size);
    const int operation = provider.ConsumeIntegralInRange(0, 2);
    const char token = provider.PickValueInArray({' ', '=', ':', '\t', '#'});
    const std::string name = provider.ConsumeRandomLengthString(24);
    const std::string value = provider.ConsumeRandomLengthString(24);
    const std::string ignore = provider.ConsumeRandomLengthString(8);
    const bool scoped = provider.ConsumeBool();
    const bool flag = provider.ConsumeBool();
    const std::string section = "iface " + provider.ConsumeRandomLengthString(8) + " inet ";
    const std::string before = provider.ConsumeRemainingBytesAsString();
    check(write_File(path, before) == 0);

    const Config_File::Scope scope = {section.c_str(), openers};
    const Config_File::Scope* limits = scoped ? &scope : nullptr;
    const char* skip = ignore.empty() ? nullptr : ignore.c_str();
    switch (operation) {
    case 0: {
        char buffer[64];
        uint8_t result = Config_File::get_Data(path.c_str(), name.c_str(), buffer,
                                               provider.ConsumeIntegralInRange(0, 64), token, skip,
                                               flag, limits);
        check(result <= 3);
        break;
    }
    case 1: {
        uint8_t result =
            Config_File::set_Data(path.c_str(), name.c_str(), value.c_str(), token, skip, limits);
        check(result <= 3);
        const std::string search = std::string(name.c_str()) + token;
        if (value.find('\n') == std::string::npos && name.find('\n') == std::string::npos &&
            name.find('\0') == std::string::npos && value.find('\0') == std::string::npos)
            check(lines_Without(before, search) == lines_Without(read_File(path), search));
        break;
    }
    default: {
        uint8_t result =
            Config_File::set_Data_Comment(path.c_str(), name.c_str(), flag, token, skip, limits);
        check(result <= 2);
        check(without_Hashes(read_File(path)) == without_Hashes(before));
        break;
    }
    }
    return 0;
}
