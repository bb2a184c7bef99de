// Decoding and building of BMC packets as they travel on the bus, for the
// simulated BMC's printing, its trace and the tests that read it. Works on raw
// wire bytes only, so it judges the card's packets independently of the
// card's own packet code.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace pec_bench {

using Bytes = std::vector<uint8_t>;

// A packet split by its length byte, as every reader of the link does.
struct Packet {
    Bytes raw; // the bytes as they were on the wire (or delivered)

    uint8_t length() const { return raw.empty() ? 0 : raw[0]; }
    unsigned header_length() const { return length() <= 5 ? length() : 5; }
    unsigned data_length() const { return length() > 5 ? length() - 5 : 0; }
    uint8_t node() const { return byte(1) & 0x7F; }
    bool broadcast() const { return (byte(1) & 0x80) != 0; }
    bool response_required() const { return (byte(2) & 0x80) != 0; }
    uint8_t type() const { return byte(2) & 0x07; }
    uint8_t data_type() const { return (byte(2) >> 3) & 0x0F; }
    uint8_t address() const { return length() > 3 ? byte(3) : 0; }
    uint8_t subaddress() const { return length() > 4 ? byte(4) : 0; }
    // The data part, cut to what was actually delivered.
    Bytes data() const;
    // Text of STRING data up to its first NUL (or its end).
    std::string text() const;

private:
    uint8_t byte(size_t i) const { return i < raw.size() ? raw[i] : 0; }
};

// Names as the protocol spells them.
std::string packet_type_name(uint8_t type);
std::string data_type_name(uint8_t type);
std::string address_name(uint8_t address);
std::string subaddress_name(uint8_t address, uint8_t subaddress); // "" when unnamed
unsigned data_type_size(uint8_t type);                            // 0 for codes above 10

// "0c 00 55 ..." and the reverse (spaces optional; false on bad input).
std::string hex(const Bytes& bytes);
bool parse_hex(const std::string& text, Bytes* out);

// One readable line: type, node, flags, address/subaddress, decoded data.
std::string describe(const Packet& p);
// The same as a JSON object (no trailing newline).
std::string packet_json(const Packet& p);
// The decoded value alone: "\"text\"", "[1, 2]", "[42.5]", or "" without data.
std::string value_text(const Packet& p);

std::string json_escape(const std::string& s);

// Packets the simulated BMC sends to the card (node id of the card, WRITE).
Bytes make_packet(uint8_t node, uint8_t type, uint8_t data_type, uint8_t address,
                  uint8_t subaddress, const Bytes& data);
Bytes make_string_packet(uint8_t node, uint8_t address, uint8_t subaddress, const std::string& s,
                         bool with_nul);

// Protocol numbers used by the bench.
namespace proto {
constexpr uint8_t PING = 1, PING_RESPONSE = 2, WRITE = 5;
constexpr uint8_t UINT8 = 0, UINT64 = 6, FLOAT = 8, STRING = 10;
constexpr uint8_t DESCRIPTION = 0, STATUS = 5, NETWORK = 14;
constexpr uint8_t DESC_IP_ADDRESS = 2, DESC_SERIAL = 3, DESC_OS = 5, DESC_DISK_COUNT = 9,
                  DESC_DISK_NAME = 10, DESC_DISK_SIZE = 11, DESC_CPU = 14, DESC_MEMORY_SIZE = 19;
constexpr uint8_t NET_MODE = 0, NET_IP = 1, NET_GATEWAY = 2, NET_NETMASK = 3, NET_DNS1 = 4,
                  NET_DNS2 = 5, NET_APPLY = 6, NET_HOSTNAME = 7;
} // namespace proto

} // namespace pec_bench
