// System_Info: static queries about the host (OS name, kernel release,
// uptime, hostname, disks, total memory), a hostname setter and the hostname
// check that guards every hostname this system hands to hostnamectl.
//
// The class keeps no state and is never instantiated.
#pragma once

#include <cstdint>
#include <string>

class System_Info {
public:
    System_Info() = delete;

    // PRETTY_NAME of /etc/os-release; empty when it cannot be read.
    static std::string get_OS_Info();
    // "uname -r".
    static std::string get_Kernel_Version();
    // "uptime -p", e.g. "up 3 hours, 2 minutes".
    static std::string get_Uptime();
    // "hostname".
    static std::string get_Hostname();
    // Runs "hostnamectl set-hostname" with `value` as its one argument. A value
    // that is not a valid hostname is refused with an ERROR line and nothing
    // is run.
    static void set_Hostname(std::string value);
    // Lists the disks (RAM disks and loop devices left out) in lsblk's order:
    // `*disk_count` disks, their device paths and their sizes joined by "|".
    // The caller passes a count of 0 and empty strings. false only when lsblk
    // cannot be started; the outputs are then untouched.
    static bool get_Disk_Info(uint8_t* disk_count, std::string* disk_name, std::string* disk_size);
    // MemTotal of /proc/meminfo in whole GiB (fraction dropped); 0 when it
    // cannot be read or holds no MemTotal line.
    static uint64_t get_Memory_Total_Size();

    // A hostname this system accepts: at most 64 characters in all, made of
    // dot-separated labels of 1 to 63 letters, digits and hyphens, no label
    // starting or ending with a hyphen. Null and empty texts are invalid.
    static bool is_Valid_Hostname(const char* name);
};
