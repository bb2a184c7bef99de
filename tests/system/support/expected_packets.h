// The wire bytes of every report the card sends, built from the protocol's
// rules independently of the daemon's packet code.
#pragma once

#include "system/support/names.h"

#include <cstdint>
#include <string>
#include <vector>

namespace systest {

// A WRITE from the card (node BMC, no broadcast) with the given data.
Bytes card_write(uint8_t address, uint8_t subaddress, uint8_t data_type, const Bytes& data);

// A DESCRIPTION string as the card sends it: the text and its NUL.
Bytes description_string(uint8_t subaddress, const std::string& text);
Bytes description_uint8(uint8_t subaddress, uint8_t value);
Bytes description_uint64(uint8_t subaddress, uint64_t value);

// The onboard temperature report: one little-endian binary32.
Bytes temperature_report(float celsius);

extern const char* const cpu_name;
extern const char* const os_pretty_name;

// What one description set carries.
struct Description {
    std::string os;
    std::string ip;
    std::string serial;
    uint64_t memory_gib = 0;
    bool disks = true; // rows 6 to 8 present
    uint8_t disk_count = 0;
    std::string disk_names;
    std::string disk_sizes;
};

// The eight packets of a description set, in order.
std::vector<Bytes> description_set(const Description& d);

} // namespace systest
