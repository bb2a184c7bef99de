// System_Info: host queries through /proc/meminfo and short shell commands,
// and the hostname check shared by every hostname setter.
#include "system_info.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "extra_command_handling.h"
#include "log.h"
#include "os_wrappers.h"

static const char* const __log_tag = "System Info";

namespace {

// Host access: the only place that opens files (commands go through the
// command runner).
File_Ptr open_Text_File(const char* path) {
    return File_Ptr(fopen(path, "r"));
}

const char* const meminfo_path = "/proc/meminfo";
const char* const disk_list_command = "lsblk -p -o NAME,SIZE,TYPE -n --exclude 1,7";
const size_t max_hostname_length = 64;
const size_t max_label_length = 63;

// The one clean line of a command's output, or the empty text.
std::string get_Command_Line(const char* command) {
    char buffer[128] = {};
    set_Command(command, buffer, sizeof(buffer));
    trim_Command_Output(buffer);
    return buffer;
}

// A decimal number of digits only, optionally followed by white space.
bool parse_Decimal(const char* text, uint64_t* value) {
    if (!isdigit(static_cast<unsigned char>(text[0])))
        return false;
    errno = 0;
    char* end = nullptr;
    unsigned long long parsed = strtoull(text, &end, 10);
    if (errno == ERANGE)
        return false;
    while (*end != '\0' && isspace(static_cast<unsigned char>(*end)))
        ++end;
    if (*end != '\0')
        return false;
    *value = parsed;
    return true;
}

bool is_Hostname_Character(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-';
}

} // namespace

std::string System_Info::get_OS_Info() {
    return get_Command_Line("bash -c 'source /etc/os-release; echo ${PRETTY_NAME}'");
}

std::string System_Info::get_Kernel_Version() {
    return get_Command_Line("uname -r");
}

std::string System_Info::get_Uptime() {
    return get_Command_Line("uptime -p");
}

std::string System_Info::get_Hostname() {
    return get_Command_Line("hostname");
}

void System_Info::set_Hostname(std::string value) {
    // An embedded NUL would hide the rest of the value from the check.
    if (value.find('\0') != std::string::npos || !is_Valid_Hostname(value.c_str())) {
        LOG_ERROR("invalid hostname refused, nothing run");
        return;
    }
    // The check leaves only letters, digits, hyphens and dots, so the quotes
    // merely keep the name one argument; 64 characters always fit.
    char command[128] = {};
    int formed = snprintf(command, sizeof(command), "hostnamectl set-hostname '%s'", value.c_str());
    if (formed < 0 || static_cast<size_t>(formed) >= sizeof(command))
        return;
    if (set_Command(command, nullptr, 0, COMMAND_ACTION) != 0)
        LOG_ERROR("set_Command() Error");
}

bool System_Info::get_Disk_Info(uint8_t* disk_count, std::string* disk_name,
                                std::string* disk_size) {
    // Through the command runner, so that a hung lsblk is ended at its limit.
    std::string listing;
    if (get_Command_Output(disk_list_command, &listing) != 0) {
        LOG_ERROR("popen() Error");
        return false;
    }
    size_t start = 0;
    while (start < listing.size()) {
        size_t end = listing.find('\n', start);
        if (end == std::string::npos)
            end = listing.size();
        // A line as a 256-byte line buffer holds it; lsblk's are far shorter.
        char line[256];
        snprintf(line, sizeof(line), "%s", listing.substr(start, end - start).c_str());
        start = end + 1;
        char* save = nullptr;
        const char* name = strtok_r(line, " \t\n", &save);
        const char* size = name ? strtok_r(nullptr, " \t\n", &save) : nullptr;
        const char* type = size ? strtok_r(nullptr, " \t\n", &save) : nullptr;
        if (type == nullptr || strcmp(type, "disk") != 0)
            continue;
        if (*disk_count == 0) {
            *disk_name = name;
            *disk_size = size;
        } else {
            *disk_name += "|";
            *disk_name += name;
            *disk_size += "|";
            *disk_size += size;
        }
        ++*disk_count;
    }
    return true;
}

uint64_t System_Info::get_Memory_Total_Size() {
    File_Ptr file = open_Text_File(meminfo_path);
    if (!file)
        return 0;
    uint64_t total_kb = 0;
    char line[64];
    while (fgets(line, sizeof(line), file.get()) != nullptr) {
        char* save = nullptr;
        const char* key = strtok_r(line, " ", &save);
        if (key == nullptr || strncmp(key, "MemTotal", 8) != 0)
            continue;
        const char* value = strtok_r(nullptr, " ", &save);
        uint64_t parsed = 0;
        if (value != nullptr && parse_Decimal(value, &parsed))
            total_kb = parsed;
    }
    return total_kb >> 20;
}

bool System_Info::is_Valid_Hostname(const char* name) {
    if (name == nullptr)
        return false;
    size_t length = strnlen(name, max_hostname_length + 1);
    if (length == 0 || length > max_hostname_length)
        return false;
    size_t label_start = 0;
    for (size_t i = 0; i <= length; ++i) {
        if (i < length && name[i] != '.') {
            if (!is_Hostname_Character(name[i]))
                return false;
            continue;
        }
        // A label ends here, at a dot or at the end of the name.
        size_t label_length = i - label_start;
        if (label_length == 0 || label_length > max_label_length)
            return false;
        if (name[label_start] == '-' || name[i - 1] == '-')
            return false;
        label_start = i + 1;
    }
    return true;
}
