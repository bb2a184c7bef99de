// The table of packets on the wire.
#include "support/wire_examples.h"

#include <cstdio>
#include <cstdlib>

namespace {

// Packet types, data types and addresses by their numbers on the wire.
const uint8_t PING = 1, WRITE = 5;
const uint8_t UINT8 = 0, INT16 = 3, UINT64 = 6, FLOAT = 8, STRING = 10, UNKNOWN_TYPE = 12;
const uint8_t DESCRIPTION = 0, POWER = 2, STATUS = 5, NETWORK = 14;

// STRING data: the text and its NUL.
std::vector<uint8_t> text(const std::string& s) {
    std::vector<uint8_t> data(s.begin(), s.end());
    data.push_back(0);
    return data;
}

// A request of the BMC to card 1, as the bench's request script sends it.
Wire_Example request(const char* line, uint8_t subaddress, uint8_t data_type,
                     const std::vector<uint8_t>& data, const char* wire, const std::string& value) {
    static const char* const names[] = {"MODE", "IP_ADDRESS", "GATEWAY", "SUBNETMASK",
                                        "DNS1", "DNS2",       "APPLY",   "HOSTNAME"};
    return {line,
            true,
            1,
            false,
            WRITE,
            false,
            NETWORK,
            subaddress,
            data_type,
            data,
            wire,
            std::string("WRITE node 1 NETWORK/SUBADDRESS_NETWORK_CONFIG_") + names[subaddress] +
                (data_type == STRING ? " STRING " : " UINT8 ") + value,
            value};
}

std::vector<Wire_Example> card_examples() {
    return {
        {"OS name", true, 0, false, WRITE, false, DESCRIPTION, 5, STRING, text("Ubuntu"),
         "0c 00 55 00 05 55 62 75 6e 74 75 00",
         "WRITE node 0 DESCRIPTION/SUBADDRESS_DESCRIPTION_OS STRING \"Ubuntu\"", "\"Ubuntu\""},
        {"empty OS name", true, 0, false, WRITE, false, DESCRIPTION, 5, STRING, text(""),
         "06 00 55 00 05 00", "WRITE node 0 DESCRIPTION/SUBADDRESS_DESCRIPTION_OS STRING \"\"",
         "\"\""},
        {"empty address", true, 0, false, WRITE, false, DESCRIPTION, 2, STRING, text(""),
         "06 00 55 00 02 00",
         "WRITE node 0 DESCRIPTION/SUBADDRESS_DESCRIPTION_IP_ADDRESS STRING \"\"", "\"\""},
        {"serial N/A", true, 0, false, WRITE, false, DESCRIPTION, 3, STRING, text("N/A"),
         "09 00 55 00 03 4e 2f 41 00",
         "WRITE node 0 DESCRIPTION/SUBADDRESS_DESCRIPTION_SERIAL_NUMBER STRING \"N/A\"", "\"N/A\""},
        {"memory size 23 GiB",
         true,
         0,
         false,
         WRITE,
         false,
         DESCRIPTION,
         19,
         UINT64,
         {23, 0, 0, 0, 0, 0, 0, 0},
         "0d 00 35 00 13 17 00 00 00 00 00 00 00",
         "WRITE node 0 DESCRIPTION/SUBADDRESS_DESCRIPTION_MEMORY_SIZE UINT64 [23]",
         "[23]"},
        {"temperature 42.5",
         true,
         0,
         false,
         WRITE,
         false,
         STATUS,
         0,
         FLOAT,
         {0x00, 0x00, 0x2a, 0x42},
         "09 00 45 05 00 00 00 2a 42",
         "WRITE node 0 STATUS/SUBADDRESS_STATUS_TEMPERATURE_ONBOARD FLOAT [42.5]",
         "[42.5]"},
        {"ping", true, 0, false, PING, false, 0, 0, UINT8, {}, "03 00 01", "PING node 0", ""},
        {"ping from node 2",
         true,
         2,
         false,
         PING,
         false,
         0,
         0,
         UINT8,
         {},
         "03 02 01",
         "PING node 2",
         ""},
    };
}

std::vector<Wire_Example> odd_examples() {
    return {
        {"broadcast INT16 from node 5",
         true,
         5,
         true,
         WRITE,
         true,
         NETWORK,
         8,
         INT16,
         {0xfe, 0xff},
         "07 85 9d 0e 08 fe ff",
         "WRITE node 5 broadcast response-required NETWORK/SUBADDRESS_NETWORK_CONFIG_MACADDRESS "
         "INT16 [-2]",
         "[-2]"},
        {"unnamed subaddress",
         true,
         0,
         false,
         WRITE,
         false,
         POWER,
         7,
         UINT8,
         {9},
         "06 00 05 02 07 09",
         "WRITE node 0 POWER/7 UINT8 [9]",
         "[9]"},
        {"unknown data type",
         false,
         0,
         false,
         WRITE,
         false,
         DESCRIPTION,
         0,
         UNKNOWN_TYPE,
         {1},
         "06 00 65 00 00 01",
         "WRITE node 0 DESCRIPTION/SUBADDRESS_DESCRIPTION_PROCUCT_NAME DATA_TYPE_12",
         ""},
        {"header only",
         true,
         0,
         false,
         WRITE,
         false,
         NETWORK,
         7,
         UINT8,
         {},
         "05 00 05 0e 07",
         "WRITE node 0 NETWORK/SUBADDRESS_NETWORK_CONFIG_HOSTNAME",
         ""},
        {"cut short",
         false,
         1,
         false,
         WRITE,
         false,
         NETWORK,
         7,
         STRING,
         {'a', 'b'},
         "0a 01 55 0e 07 61 62",
         "WRITE node 1 NETWORK/SUBADDRESS_NETWORK_CONFIG_HOSTNAME STRING \"ab\" (truncated: 7 of "
         "10 bytes)",
         "\"ab\""},
        {"length zero", false, 0, false, 0, false, 0, 0, UINT8, {}, "00", "ERROR node 0", ""},
    };
}

std::vector<Wire_Example> request_examples() {
    return {
        request("mode static", 0, UINT8, {1}, "06 01 05 0e 00 01", "[1]"),
        request("mode dhcp", 0, UINT8, {0}, "06 01 05 0e 00 00", "[0]"),
        request("ip 192.0.2.20", 1, STRING, text("192.0.2.20"),
                "10 01 55 0e 01 31 39 32 2e 30 2e 32 2e 32 30 00", "\"192.0.2.20\""),
        request("gateway 192.0.2.1", 2, STRING, text("192.0.2.1"),
                "0f 01 55 0e 02 31 39 32 2e 30 2e 32 2e 31 00", "\"192.0.2.1\""),
        request("netmask 255.255.255.0", 3, STRING, text("255.255.255.0"),
                "13 01 55 0e 03 32 35 35 2e 32 35 35 2e 32 35 35 2e 30 00", "\"255.255.255.0\""),
        request("dns1 192.0.2.53", 4, STRING, text("192.0.2.53"),
                "10 01 55 0e 04 31 39 32 2e 30 2e 32 2e 35 33 00", "\"192.0.2.53\""),
        request("dns2 198.51.100.53", 5, STRING, text("198.51.100.53"),
                "13 01 55 0e 05 31 39 38 2e 35 31 2e 31 30 30 2e 35 33 00", "\"198.51.100.53\""),
        request("apply", 6, UINT8, {1}, "06 01 05 0e 06 01", "[1]"),
        request("apply 0", 6, UINT8, {0}, "06 01 05 0e 06 00", "[0]"),
        request("hostname card-07", 7, STRING, text("card-07"),
                "0d 01 55 0e 07 63 61 72 64 2d 30 37 00", "\"card-07\""),
        {"ping from node 1",
         true,
         1,
         false,
         PING,
         false,
         0,
         0,
         UINT8,
         {},
         "03 01 01",
         "PING node 1",
         ""},
    };
}

} // namespace

const std::vector<Wire_Example>& wire_Examples() {
    static const std::vector<Wire_Example> examples = [] {
        std::vector<Wire_Example> all = card_examples();
        for (const auto& part : {odd_examples(), request_examples()})
            all.insert(all.end(), part.begin(), part.end());
        return all;
    }();
    return examples;
}

const Wire_Example& wire_Example(const std::string& description) {
    for (const Wire_Example& example : wire_Examples()) {
        if (example.description == description)
            return example;
    }
    fprintf(stderr, "no wire example \"%s\"\n", description.c_str());
    abort();
}

std::vector<uint8_t> wire_Bytes(const Wire_Example& example) {
    std::vector<uint8_t> bytes;
    for (size_t at = 0; at + 1 < example.wire.size(); at += 3)
        bytes.push_back(static_cast<uint8_t>(std::stoul(example.wire.substr(at, 2), nullptr, 16)));
    return bytes;
}
