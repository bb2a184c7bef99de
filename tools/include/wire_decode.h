// The line reader of pec-decode: turns lines of the kernel's I2C trace
// events, or of plain hex, into one decoded line per packet between the card
// and the BMC. Packets are read with the card's own packet code
// (BMC_data_protocol); this module only names, formats and judges them.
//
// Kernel lines are those of events/i2c in tracefs ("... 1234.567890:
// i2c_write: i2c-0 #0 a=008 f=0000 l=5 [0c-00-55-00-05]"): the card's writes
// to slave 8 are packets from the card, the replies to its reads of slave 8
// packets from the BMC. The kernel prints at most 64 bytes of a message.
// Hex lines are one packet each: "0c 00 55", "0c-00-55", "0x0c 0x00 0x55"
// or "0c0055".
#pragma once

#include <cstdint>
#include <string>
#include <vector>

enum class Wire_Direction { UNKNOWN, CARD_TO_BMC, BMC_TO_CARD };

struct Wire_Decode_Options {
    int adapter = 0;                                        // the I2C adapter of the BMC link
    Wire_Direction hex_direction = Wire_Direction::UNKNOWN; // of plain hex lines
};

// The packet in `seen` (the bytes at hand, from the length byte on) as one
// line: type, node, flags, address/subaddress, data type and value, then
// what is wrong with it, each in parentheses. `transferred` is how many
// bytes the transfer moved when more than were seen (the kernel's 64-byte
// cut); 0 when `seen` is the whole transfer.
std::string get_Wire_Packet_Text(const std::vector<uint8_t>& seen, size_t transferred = 0);

// Reads `text` as hex bytes in one of the forms above; false when it is not.
bool parse_Wire_Hex(const std::string& text, std::vector<uint8_t>* bytes);

// Follows a stream of lines. A kernel transfer is printed once its result
// line arrives, or when the next transfer starts, or at finish().
class Wire_Decoder {
public:
    explicit Wire_Decoder(const Wire_Decode_Options& options) : options_(options) {}

    // The decoded lines that `line` completes (often none).
    std::vector<std::string> read_Line(const std::string& line);
    // The transfer still waiting for its result, if any.
    std::vector<std::string> finish();

private:
    struct Transfer {
        bool open = false;    // a transfer to slave 8 on the adapter is pending
        bool is_read = false; // the card read (a reply brings the BMC's packet)
        bool replied = false;
        std::string time;
        std::vector<uint8_t> bytes;
        size_t length = 0; // l= of the message
    };

    // `event`: 0 i2c_write, 1 i2c_read, 2 i2c_reply, 3 i2c_result, named at
    // `event_at` in `line`.
    std::vector<std::string> read_Kernel_Line(const std::string& line, int event, size_t event_at);
    std::string get_Transfer_Text(const Transfer& transfer, int result) const;
    void flush(std::vector<std::string>* out, int result, bool has_result);

    Wire_Decode_Options options_;
    Transfer pending_;
    unsigned long line_number_ = 0;
};

// "card -> BMC", "BMC -> card", or "" for an unknown direction.
const char* get_Wire_Direction_Name(Wire_Direction direction);
