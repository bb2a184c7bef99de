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
//
// A decoded line shows only what is on the wire: a header field that the
// packet's length or the bytes at hand do not reach is "-". What could not
// be read at all (a damaged event line, a gap in the trace) is kept apart,
// as "FILE:LINE: what", for standard error.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

enum class Wire_Direction { UNKNOWN, CARD_TO_BMC, BMC_TO_CARD };

struct Wire_Decode_Options {
    int adapter = 0;                                        // the I2C adapter of the BMC link
    Wire_Direction hex_direction = Wire_Direction::UNKNOWN; // of plain hex lines
};

// The longest line read. A kernel event line with its 64 bytes is under 400
// bytes and a hex line of a 255-byte packet at most 1275 ("0x0c " each);
// a longer line is reported and skipped unread.
constexpr size_t wire_line_limit = 4096;

// The packet in `seen` (the bytes at hand, from the length byte on) as one
// line: type, node, flags, address/subaddress, data type and value, then
// what is wrong with it, each in parentheses. `on_bus` is how many bytes
// the transfer moved (its l=), which the trace may show only part of (the
// kernel's 64-byte cut); 0 when `seen` is the whole transfer.
std::string get_Wire_Packet_Text(const std::vector<uint8_t>& seen, size_t on_bus = 0);

// Reads `text` as hex bytes in one of the forms above; false when it is not.
bool parse_Wire_Hex(const std::string& text, std::vector<uint8_t>* bytes);

// Cuts a byte stream into lines (without their newline), holding at most
// wire_line_limit bytes of one line whatever the input.
class Wire_Line_Splitter {
public:
    // `too_long`: the line ran past wire_line_limit; `text` is then its
    // first wire_line_limit bytes and the rest of it is dropped unseen.
    // Returns false to stop.
    using Handler = std::function<bool(const std::string& text, bool too_long)>;

    // Hands each line that `data` completes, or makes too long, to `line`;
    // false once `line` returned false.
    bool take(const char* data, size_t size, const Handler& line);
    // The last line, when the stream did not end with a newline.
    bool finish(const Handler& line);

private:
    std::string line_;
    bool skipping_ = false; // in the rest of a line too long to keep
};

// Follows a stream of lines. A kernel transfer is printed once its result
// line arrives, or when the next transfer starts, or at finish().
class Wire_Decoder {
public:
    explicit Wire_Decoder(const Wire_Decode_Options& options) : options_(options) {}

    // Begins the lines of the file `name`: line numbers start again at 1 and
    // no transfer pairs across files. Returns what finish() returns for the
    // file before.
    std::vector<std::string> start_File(const std::string& name);
    // The decoded lines that `line` completes (often none).
    std::vector<std::string> read_Line(const std::string& line);
    // Counts a line longer than wire_line_limit, which is not read.
    std::vector<std::string> skip_Long_Line();
    // The transfer still waiting for its result, if any.
    std::vector<std::string> finish();
    // What could not be read since the last call, "FILE:LINE: what" each.
    std::vector<std::string> take_Problems();

private:
    struct Transfer {
        bool open = false;    // a transfer to slave 8 on the adapter is pending
        bool is_read = false; // the card read (a reply brings the BMC's packet)
        bool replied = false;
        std::string time;
        std::vector<uint8_t> bytes; // as the trace shows them
        size_t length = 0;          // l= of the message
    };

    // `event`: 0 i2c_write, 1 i2c_read, 2 i2c_reply, 3 i2c_result; `fields`
    // is what follows its name in `line`.
    std::vector<std::string> read_Kernel_Line(const std::string& line, int event, size_t event_at,
                                              const char* fields);
    std::string get_Transfer_Text(const Transfer& transfer, int result, bool has_result) const;
    void flush(std::vector<std::string>* out, int result, bool has_result);
    void add_Problem(const std::string& what);

    Wire_Decode_Options options_;
    Transfer pending_;
    std::string file_ = "(standard input)";
    unsigned long line_number_ = 0;
    std::vector<std::string> problems_;
};

// "card -> BMC", "BMC -> card", or "" for an unknown direction.
const char* get_Wire_Direction_Name(Wire_Direction direction);
