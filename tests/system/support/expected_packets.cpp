// The wire bytes of the card's reports.
#include "system/support/expected_packets.h"

#include <cstring>

namespace systest {

namespace {

// control2 byte of a card's report: the packet type in bits 0-2, the data type
// in bits 3-6, no response required.
uint8_t control2(uint8_t type, uint8_t data_type) {
    return static_cast<uint8_t>(type | (data_type << 3));
}

// The `size` bytes of `value`, least significant first.
Bytes little_endian(uint64_t value, int size) {
    Bytes data;
    for (int i = 0; i < size; ++i) {
        data.push_back(static_cast<uint8_t>(value >> (8 * i)));
    }
    return data;
}

} // namespace

const char* const cpu_name = "Socionext SynQuacer SC2A11";
const char* const os_pretty_name = "Debian GNU/Linux 12 (bookworm)";

Bytes card_write(uint8_t address, uint8_t subaddress, uint8_t data_type, const Bytes& data) {
    Bytes b;
    b.reserve(5 + data.size());
    for (uint8_t byte : {static_cast<uint8_t>(5 + data.size()), uint8_t{0x00},
                         control2(proto::WRITE, data_type), address, subaddress})
        b.push_back(byte);
    for (uint8_t byte : data)
        b.push_back(byte);
    return b;
}

Bytes description_string(uint8_t subaddress, const std::string& text) {
    Bytes data(text.begin(), text.end());
    data.push_back(0);
    return card_write(proto::DESCRIPTION, subaddress, proto::STRING, data);
}

Bytes description_uint8(uint8_t subaddress, uint8_t value) {
    return card_write(proto::DESCRIPTION, subaddress, proto::UINT8, {value});
}

Bytes description_uint64(uint8_t subaddress, uint64_t value) {
    return card_write(proto::DESCRIPTION, subaddress, proto::UINT64, little_endian(value, 8));
}

Bytes temperature_report(float celsius) {
    uint32_t bits = 0;
    memcpy(&bits, &celsius, sizeof(bits));
    return card_write(proto::STATUS, 0, proto::FLOAT, little_endian(bits, 4));
}

std::vector<Bytes> description_set(const Description& d) {
    std::vector<Bytes> set = {
        description_string(proto::DESC_OS, d.os),
        description_string(proto::DESC_IP_ADDRESS, d.ip),
        description_string(proto::DESC_SERIAL, d.serial),
        description_string(proto::DESC_CPU, cpu_name),
        description_uint64(proto::DESC_MEMORY_SIZE, d.memory_gib),
    };
    if (d.disks) {
        set.push_back(description_uint8(proto::DESC_DISK_COUNT, d.disk_count));
        set.push_back(description_string(proto::DESC_DISK_NAME, d.disk_names));
        set.push_back(description_string(proto::DESC_DISK_SIZE, d.disk_sizes));
    }
    return set;
}

} // namespace systest
