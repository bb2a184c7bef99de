// Packets as they travel on the bus between the card and the BMC, in one
// table: what each is, the fields the card's packet code is given for it,
// its bytes on the wire, and how the bench's decoder prints it. The unit
// tests build each buildable example with the card's packet code, the
// bench's tests decode every one, and the system and interposer tests take
// their expected bytes from it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The header fields of a packet, by their numbers on the wire.
struct Wire_Fields {
    uint8_t node;      // 0 the BMC, 1 to 32 the cards
    bool broadcast;    //
    uint8_t type;      // ERROR 0, PING 1, WRITE 5, ...
    bool response;     // response required
    uint8_t address;   // DESCRIPTION 0, POWER 2, STATUS 5, NETWORK 14, ...
    uint8_t sub;       // subaddress
    uint8_t data_type; // UINT8 0, INT16 3, UINT64 6, FLOAT 8, STRING 10, ...
};

struct Wire_Example {
    const char* description;   // what the packet is; also its key
    bool buildable;            // false: a cut or malformed packet, which only a reader meets
    Wire_Fields fields;        //
    std::vector<uint8_t> data; // the data part (a STRING with its NUL)
    std::string wire;          // the bytes on the wire, "0c 00 55 ..."
    std::string decoded;       // the bench's describe()
    std::string value;         // the bench's value_text()
};

// Every example, in table order.
const std::vector<Wire_Example>& wire_Examples();

// The example named `description`; the program ends with a message when
// there is none (a typo in a test).
const Wire_Example& wire_Example(const std::string& description);

// The example's bytes.
std::vector<uint8_t> wire_Bytes(const Wire_Example& example);
