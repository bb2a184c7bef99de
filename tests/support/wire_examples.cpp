// The table of packets on the wire.
#include "support/wire_examples.h"

#include <cstdio>
#include <cstdlib>

namespace {

const uint8_t PING = 1, WRITE = 5;
const uint8_t UINT8 = 0, INT16 = 3, UINT64 = 6, FLOAT = 8, STRING = 10;
const uint8_t DESCRIPTION = 0, POWER = 2, STATUS = 5, NETWORK = 14;

// STRING data: the text and its NUL.
std::vector<uint8_t> text(const std::string& s) {
    std::vector<uint8_t> data(s.begin(), s.end());
    data.push_back(0);
    return data;
}

Wire_Example example(const char* description, const Wire_Fields& fields,
                     const std::vector<uint8_t>& data, const char* wire, const std::string& decoded,
                     const std::string& value) {
    return {description, true, fields, data, wire, decoded, value};
}

// A cut or malformed packet: only a reader meets it.
Wire_Example malformed(const char* description, const Wire_Fields& fields,
                       const std::vector<uint8_t>& data, const char* wire,
                       const std::string& decoded, const std::string& value) {
    return {description, false, fields, data, wire, decoded, value};
}

// How the decoder begins the packets of a description set and the BMC's
// network requests to card 1.
const std::string os = "WRITE node 0 DESCRIPTION/SUBADDRESS_DESCRIPTION_";
const std::string config = "WRITE node 1 NETWORK/SUBADDRESS_NETWORK_CONFIG_";

// The card's reports.
std::vector<Wire_Example> card_Examples() {
    return {
        example("OS name", {0, false, WRITE, false, DESCRIPTION, 5, STRING}, text("Ubuntu"),
                "0c 00 55 00 05 55 62 75 6e 74 75 00", os + "OS STRING \"Ubuntu\"", "\"Ubuntu\""),
        example("empty OS name", {0, false, WRITE, false, DESCRIPTION, 5, STRING}, text(""),
                "06 00 55 00 05 00", os + "OS STRING \"\"", "\"\""),
        example("empty address", {0, false, WRITE, false, DESCRIPTION, 2, STRING}, text(""),
                "06 00 55 00 02 00", os + "IP_ADDRESS STRING \"\"", "\"\""),
        example("serial N/A", {0, false, WRITE, false, DESCRIPTION, 3, STRING}, text("N/A"),
                "09 00 55 00 03 4e 2f 41 00", os + "SERIAL_NUMBER STRING \"N/A\"", "\"N/A\""),
        example("memory size 23 GiB", {0, false, WRITE, false, DESCRIPTION, 19, UINT64},
                {23, 0, 0, 0, 0, 0, 0, 0}, "0d 00 35 00 13 17 00 00 00 00 00 00 00",
                os + "MEMORY_SIZE UINT64 [23]", "[23]"),
        example("temperature 42.5", {0, false, WRITE, false, STATUS, 0, FLOAT}, {0, 0, 0x2a, 0x42},
                "09 00 45 05 00 00 00 2a 42",
                "WRITE node 0 STATUS/SUBADDRESS_STATUS_TEMPERATURE_ONBOARD FLOAT [42.5]", "[42.5]"),
        example("ping", {0, false, PING, false, 0, 0, UINT8}, {}, "03 00 01", "PING node 0", ""),
        example("ping from node 2", {2, false, PING, false, 0, 0, UINT8}, {}, "03 02 01",
                "PING node 2", ""),
    };
}

// The BMC's packets, and packets no sender should make.
std::vector<Wire_Example> bmc_And_Odd_Examples() {
    return {
        example("ping from node 1", {1, false, PING, false, 0, 0, UINT8}, {}, "03 01 01",
                "PING node 1", ""),
        example("apply", {1, false, WRITE, false, NETWORK, 6, UINT8}, {1}, "06 01 05 0e 06 01",
                config + "APPLY UINT8 [1]", "[1]"),
        example("hostname card-07", {1, false, WRITE, false, NETWORK, 7, STRING}, text("card-07"),
                "0d 01 55 0e 07 63 61 72 64 2d 30 37 00", config + "HOSTNAME STRING \"card-07\"",
                "\"card-07\""),
        example(
            "broadcast INT16 from node 5", {5, true, WRITE, true, NETWORK, 8, INT16}, {0xfe, 0xff},
            "07 85 9d 0e 08 fe ff",
            "WRITE node 5 broadcast response-required NETWORK/SUBADDRESS_NETWORK_CONFIG_MACADDRESS "
            "INT16 [-2]",
            "[-2]"),
        example("unnamed subaddress", {0, false, WRITE, false, POWER, 7, UINT8}, {9},
                "06 00 05 02 07 09", "WRITE node 0 POWER/7 UINT8 [9]", "[9]"),
        example("header only", {0, false, WRITE, false, NETWORK, 7, UINT8}, {}, "05 00 05 0e 07",
                "WRITE node 0 NETWORK/SUBADDRESS_NETWORK_CONFIG_HOSTNAME", ""),
        malformed("unknown data type", {0, false, WRITE, false, DESCRIPTION, 0, 12}, {1},
                  "06 00 65 00 00 01", os + "PROCUCT_NAME DATA_TYPE_12", ""),
        malformed("cut short", {1, false, WRITE, false, NETWORK, 7, STRING}, {'a', 'b'},
                  "0a 01 55 0e 07 61 62",
                  config + "HOSTNAME STRING \"ab\" (truncated: 7 of 10 bytes)", "\"ab\""),
        malformed("length zero", {0, false, 0, false, 0, 0, UINT8}, {}, "00", "ERROR node 0", ""),
    };
}

} // namespace

const std::vector<Wire_Example>& wire_Examples() {
    static const std::vector<Wire_Example> examples = [] {
        std::vector<Wire_Example> all = card_Examples();
        std::vector<Wire_Example> more = bmc_And_Odd_Examples();
        all.insert(all.end(), more.begin(), more.end());
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
