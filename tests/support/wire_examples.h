// Packets as they travel on the bus between the card and the BMC, in one
// table: what each is, the fields the card's packet code is given for it,
// its bytes on the wire, and how the bench's decoder prints it. The unit
// tests build each buildable example with the card's packet code, the
// bench's tests decode every one, and the system tests compare the card's
// writes with them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct Wire_Example {
    const char* description;   // what the packet is; also its key
    bool buildable;            // the fields make exactly these bytes (false: a cut or
                               // malformed packet, which only a reader meets)
    uint8_t node;              // node id: 0 the BMC, 1 to 32 the cards
    bool broadcast;            //
    uint8_t type;              // packet type (WRITE 5, PING 1, ...)
    bool response_required;    //
    uint8_t address;           // address and subaddress (header-only packets: 0)
    uint8_t subaddress;        //
    uint8_t data_type;         // UINT8 0, INT16 3, UINT64 6, FLOAT 8, STRING 10, ...
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
