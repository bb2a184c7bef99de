#include "wire_decode.h"

#include "support/wire_examples.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

using Lines = std::vector<std::string>;

// The prefix trace_pipe gives every event line: task-pid, CPU, flags, time.
std::string event(const char* time, const std::string& text) {
    return std::string("      pec-daemon-231     [001] .....   ") + time + ": " + text;
}

// `hex` ("0c 00 55") in the kernel's dashed form, followed by `fill` up to
// `shown` bytes (the kernel prints at most 64 bytes of a message).
std::string dashed(const std::string& hex, size_t shown = 0, const char* fill = "00") {
    std::vector<uint8_t> bytes;
    parse_Wire_Hex(hex, &bytes);
    std::string out;
    for (size_t i = 0; i < bytes.size() || i < shown; ++i) {
        char byte[4];
        snprintf(byte, sizeof(byte), "%02x", i < bytes.size() ? bytes[i] : 0);
        out += (i == 0 ? "" : "-") + std::string(i < bytes.size() ? byte : fill);
    }
    return out;
}

// A STRING packet from the card of `count` letters x and a NUL.
std::string long_Text_Packet(size_t count) {
    char header[32];
    snprintf(header, sizeof(header), "%02zx 00 55 00 05", count + 6);
    std::string hex = header;
    for (size_t i = 0; i < count; ++i)
        hex += " 78";
    return hex + " 00";
}

struct Row {
    const char* what;
    Lines input;
    Lines decoded;
    Lines problems = {}; // for standard error; the first file is "t", the next "u"
    Wire_Direction hex_direction = Wire_Direction::UNKNOWN;
};

// Stands between the lines of two files in a row's input.
const std::string next_file = "\f";

const std::string os = "WRITE node 0 DESCRIPTION/SUBADDRESS_DESCRIPTION_";
const std::string config = "WRITE node 1 NETWORK/SUBADDRESS_NETWORK_CONFIG_";
const std::string result_ok = event("612.345690", "i2c_result: i2c-0 n=1 ret=1");
const std::string ping_write = event("615.0", "i2c_write: i2c-0 #0 a=008 f=0000 l=3 [03-00-01]");
const std::string result_nack = event("615.1", "i2c_result: i2c-0 n=1 ret=-121");

// The kernel's trace lines, as its events' formats print them.
std::vector<Row> kernel_Rows() {
    return {
        {"the card's write",
         {event("612.345678", "i2c_write: i2c-0 #0 a=008 f=0000 l=12 [" +
                                  dashed("0c 00 55 00 05 55 62 75 6e 74 75 00") + "]"),
          result_ok},
         {"612.345678  card -> BMC  " + os + "OS STRING \"Ubuntu\""}},
        {"the BMC's reply to a 256-byte read, its 00 filler left out",
         {event("613.000001", "i2c_read: i2c-0 #0 a=008 f=0001 l=256"),
          event("613.000900", "i2c_reply: i2c-0 #0 a=008 f=0001 l=256 [" +
                                  dashed("0d 01 55 0e 07 63 61 72 64 2d 30 37 00", 64) + "]"),
          result_ok},
         {"613.000001  BMC -> card  " + config + "HOSTNAME STRING \"card-07\""}},
        {"ff filler",
         {event("613.5", "i2c_read: i2c-0 #0 a=008 f=0001 l=256"),
          event("613.6", "i2c_reply: i2c-0 #0 a=008 f=0001 l=256 [" +
                             dashed("06 01 05 0e 00 01", 64, "ff") + "]"),
          result_ok},
         {"613.5  BMC -> card  " + config + "MODE UINT8 [1] static"}},
        {"an idle BMC's zeros",
         {event("614.0", "i2c_read: i2c-0 #0 a=008 f=0001 l=256"),
          event("614.1", "i2c_reply: i2c-0 #0 a=008 f=0001 l=256 [" + dashed("00", 64) + "]"),
          result_ok},
         {"614.0  BMC -> card  no packet (length 0)"}},
        {"a failed write and a failed read",
         {ping_write, result_nack, event("616.0", "i2c_read: i2c-0 #0 a=008 f=0001 l=256"),
          event("616.1", "i2c_result: i2c-0 n=1 ret=-6")},
         {"615.0  card -> BMC  PING node 0  FAILED (Remote I/O error)",
          "616.0  BMC -> card  read failed (No such device or address)"}},
    };
}

// Kernel lines of cut packets, and of what is left out.
std::vector<Row> kernel_Odd_Rows() {
    return {
        {"a long packet that the kernel prints only 64 bytes of",
         {event("617.0", "i2c_write: i2c-0 #0 a=008 f=0000 l=105 [" +
                             dashed(long_Text_Packet(99)).substr(0, 64 * 3 - 1) + "]"),
          result_ok},
         {"617.0  card -> BMC  " + os + "OS STRING \"" + std::string(59, 'x') +
          "\" (trace shows 64 of 105 bytes)"}},
        {"a write shorter than its length byte",
         {event("618.0", "i2c_write: i2c-0 #0 a=008 f=0000 l=7 [0a-01-55-0e-07-61-62]"), result_ok},
         {"618.0  card -> BMC  " + config + "HOSTNAME STRING \"ab\" (truncated: 7 of 10 bytes)"}},
        {"the sensor, another adapter and other events are left out",
         {"# tracer: nop", event("619.0", "i2c_write: i2c-0 #0 a=04c f=0000 l=1 [00]"),
          event("619.0", "i2c_read: i2c-0 #1 a=04c f=0001 l=2"),
          event("619.1", "i2c_reply: i2c-0 #1 a=04c f=0001 l=2 [2a-00]"),
          event("619.1", "i2c_result: i2c-0 n=2 ret=2"),
          event("619.2", "i2c_write: i2c-1 #0 a=008 f=0000 l=3 [03-00-01]"),
          event("619.2", "i2c_result: i2c-1 n=1 ret=1"),
          event("619.3", "smbus_read: i2c-0 a=04c f=0000 c=0 BYTE")},
         {}},
        {"a write whose result never came, at the end",
         {ping_write},
         {"615.0  card -> BMC  PING node 0  no result in the trace"}},
        {"bytes after the length counted from l=, not from the 64 shown",
         {event("621.0",
                "i2c_write: i2c-0 #0 a=008 f=0000 l=100 [" + dashed("06 00 05 00 00 01", 64) + "]"),
          result_ok},
         {"621.0  card -> BMC  " + os +
          "PROCUCT_NAME UINT8 [1] (94 bytes after its length) (trace shows 64 of 100 bytes)"}},
    };
}

// Lines that cannot be read, and the pairing of a transfer with its result
// across them.
std::vector<Row> unread_Rows() {
    return {
        {"a write at the end of a file is not paired with a result in the next",
         {ping_write, next_file, result_nack, "hello"},
         {"615.0  card -> BMC  PING node 0  no result in the trace"},
         {"u:2: not hex and not an I2C event: \"hello\""}},
        {"lost events end the pending transfer",
         {ping_write, "CPU:1 [LOST 1234 EVENTS]", result_nack},
         {"615.0  card -> BMC  PING node 0  no result in the trace"},
         {"t:2: the trace lost 1234 events here"}},
        {"an event line without its fields",
         {event("622.0", "i2c_write: i2c-0 #0 a=008"), result_ok},
         {},
         {"t:1: an i2c_write line without its #N, a=, f= and l="}},
        {"an event line whose bytes are not closed",
         {event("623.0", "i2c_write: i2c-0 #0 a=008 f=0000 l=3 [03-00-01"), result_ok},
         {},
         {"t:1: an i2c_write line whose bytes [.. are not closed"}},
        {"an event line with more bytes than its message",
         {event("623.5", "i2c_write: i2c-0 #0 a=008 f=0000 l=2 [03-00-01]"), result_ok},
         {},
         {"t:1: an i2c_write line with 3 bytes for l=2"}},
        {"a read without a reply or a result",
         {event("624.0", "i2c_read: i2c-0 #0 a=008 f=0001 l=256")},
         {"624.0  BMC -> card  read, no reply in the trace, no result"}},
        {"a line over the limit is skipped, the next one read",
         {std::string(5000, '0'), "03 00 01"},
         {"PING node 0"},
         {"t:1: line longer than 4096 bytes, skipped"}},
    };
}

// Hex lines in each form.
std::vector<Row> hex_Rows() {
    return {
        {"spaced hex", {"0c 00 55 00 05 55 62 75 6e 74 75 00"}, {os + "OS STRING \"Ubuntu\""}},
        {"dashed hex",
         {"09-00-45-05-00-00-00-2a-42"},
         {"WRITE node 0 STATUS/SUBADDRESS_STATUS_TEMPERATURE_ONBOARD FLOAT [42.5]"}},
        {"0x-prefixed hex", {"0x03 0x00 0x1"}, {"PING node 0"}},
        {"packed hex", {"0d0035001317000000000000 00"}, {os + "MEMORY_SIZE UINT64 [23]"}},
        {"hex from the BMC",
         {"06 01 05 0e 06 01"},
         {"BMC -> card  " + config + "APPLY UINT8 [1]"},
         {},
         Wire_Direction::BMC_TO_CARD},
        {"a DOUBLE in all its digits",
         {"0d 00 4d 05 08 75 93 18 e4 87 d6 32 41"},
         {"WRITE node 0 STATUS/SUBADDRESS_STATUS_CPU_USAGE DOUBLE [1234567.891]"}},
        {"a FLOAT in all its digits",
         {"09 00 45 05 00 64 20 f1 47"},
         {"WRITE node 0 STATUS/SUBADDRESS_STATUS_TEMPERATURE_ONBOARD FLOAT [123456.78]"}},
    };
}

// Packets whose length or bytes end inside the header.
std::vector<Row> short_Header_Rows() {
    return {
        {"a header cut to four",
         {"04 01 05 0e"},
         {"WRITE node 1 NETWORK/- (header cut to 4 bytes)"}},
        {"a header cut by the transfer", {"05 00"}, {"- node 0 -/- (truncated: 2 of 5 bytes)"}},
        {"the length byte alone", {"03"}, {"- node - (truncated: 1 of 3 bytes)"}},
        {"a node above the protocol's", {"03 7f 01"}, {"PING node 127 (node 127 is above PEC_32)"}},
    };
}

// Damaged packets as hex.
std::vector<Row> damaged_Rows() {
    return {
        {"bytes after the length",
         {"06 00 55 00 02 00 ff ff"},
         {os + "IP_ADDRESS STRING \"\" (2 bytes after its length)"}},
        {"unknown packet type",
         {"05 00 07 00 00"},
         {"TYPE_7 node 0 DESCRIPTION/SUBADDRESS_DESCRIPTION_PROCUCT_NAME (unknown packet type 7)"}},
        {"unknown address",
         {"06 00 05 14 00 01"},
         {"WRITE node 0 ADDRESS_20/0 UINT8 [1] (unknown address 20)"}},
        {"unknown subaddress",
         {"06 01 05 0e 0c 00"},
         {"WRITE node 1 NETWORK/12 UINT8 [0] (unknown subaddress 12)"}},
        {"unknown data type",
         {"06 00 65 00 00 01"},
         {os + "PROCUCT_NAME DATA_TYPE_12 (unknown data type 12)"}},
        {"data length against data type",
         {"0c 00 15 05 00 01 02 03 04 05 06 07"},
         {"WRITE node 0 STATUS/SUBADDRESS_STATUS_TEMPERATURE_ONBOARD UINT16 (7 data bytes are "
          "not whole UINT16 values)"}},
        {"a ping with a header of five",
         {"05 00 01 00 00"},
         {"PING node 0 DESCRIPTION/SUBADDRESS_DESCRIPTION_PROCUCT_NAME (length 5 for a 3-byte "
          "PING)"}},
        {"bytes after a text's NUL",
         {"08 00 55 00 05 41 00 42"},
         {os + "OS STRING \"A\" (1 byte after its NUL)"}},
        {"the DHCP mode", {"06 01 05 0e 00 00"}, {config + "MODE UINT8 [0] DHCP"}},
        {"an IPv4 text that is none",
         {"10 01 55 0e 01 31 30 2e 30 2e 30 2e 32 35 36 00"},
         {config + "IP_ADDRESS STRING \"10.0.0.256\" (not an IPv4 address)"}},
        {"a netmask that is none",
         {"11 01 55 0e 03 32 35 35 2e 30 2e 32 35 35 2e 30 00"},
         {config + "SUBNETMASK STRING \"255.0.255.0\" (not a netmask)"}},
        {"an IPv4 item as a number",
         {"06 01 05 0e 04 01"},
         {config + "DNS1 UINT8 [1] (an IPv4 item not sent as STRING)"}},
        {"escaped text",
         {"0a 01 55 0e 07 61 22 0a e9 00"},
         {config + "HOSTNAME STRING \"a\\\"\\n\\xe9\""}},
        {"a line that is neither",
         {"", "hello"},
         {},
         {"t:2: not hex and not an I2C event: \"hello\""}},
    };
}

const std::vector<Row>& rows() {
    static const std::vector<Row> table = [] {
        std::vector<Row> all;
        for (const std::vector<Row>& part : {kernel_Rows(), kernel_Odd_Rows(), unread_Rows(),
                                             hex_Rows(), short_Header_Rows(), damaged_Rows()})
            all.insert(all.end(), part.begin(), part.end());
        return all;
    }();
    return table;
}

struct Decoded {
    Lines out;
    Lines problems;
};

// `input` as a file's lines through the splitter and the decoder, as
// pec-decode reads them.
Decoded decode(const Lines& input, const Wire_Decode_Options& options) {
    Wire_Decoder decoder(options);
    Decoded decoded;
    auto keep = [&](const Lines& more) {
        decoded.out.insert(decoded.out.end(), more.begin(), more.end());
        Lines problems = decoder.take_Problems();
        decoded.problems.insert(decoded.problems.end(), problems.begin(), problems.end());
    };
    const Wire_Line_Splitter::Handler line = [&](const std::string& text, bool too_long) {
        keep(too_long ? decoder.skip_Long_Line() : decoder.read_Line(text));
        return true;
    };
    Wire_Line_Splitter splitter;
    keep(decoder.start_File("t"));
    for (const std::string& text : input) {
        if (text == next_file) {
            splitter.finish(line);
            keep(decoder.start_File("u"));
            continue;
        }
        splitter.take(text.data(), text.size(), line);
        splitter.take("\n", 1, line);
    }
    splitter.finish(line);
    keep(decoder.finish());
    return decoded;
}

} // namespace

TEST(WireDecode, Table) {
    for (const Row& row : rows()) {
        SCOPED_TRACE(row.what);
        Wire_Decode_Options options;
        options.hex_direction = row.hex_direction;
        const Decoded decoded = decode(row.input, options);
        EXPECT_EQ(decoded.out, row.decoded);
        EXPECT_EQ(decoded.problems, row.problems);
    }
}

// Every well-formed packet of the shared wire table reads as the bench's own
// decoder prints it. (The damaged ones have rows above: the bench's decoder
// reads the header fields a cut packet lacks as zeros.)
TEST(WireDecode, AgreesWithTheBenchOnTheWireExamples) {
    for (const Wire_Example& example : wire_Examples()) {
        if (!example.buildable)
            continue;
        SCOPED_TRACE(example.description);
        EXPECT_EQ(decode({example.wire}, Wire_Decode_Options()).out, Lines{example.decoded});
    }
}

// A FLOAT or DOUBLE of any bits but a NaN's prints as a number that reads
// back to the same bits.
TEST(WireDecode, NumbersReadBackToTheirBits) {
    const unsigned int seed = std::random_device()();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937_64 random(seed);
    for (int i = 0; i < 2000; ++i) {
        const bool is_double = i % 2 == 0;
        const uint64_t bits = is_double ? random() : random() & 0xFFFFFFFFu;
        char hex[64];
        snprintf(hex, sizeof(hex), is_double ? "0d 00 4d 05 08" : "09 00 45 05 00");
        for (size_t byte = 0; byte < (is_double ? 8u : 4u); ++byte)
            snprintf(hex + strlen(hex), sizeof(hex) - strlen(hex), " %02x",
                     static_cast<unsigned int>((bits >> (8 * byte)) & 0xFF));
        const Lines out = decode({hex}, Wire_Decode_Options()).out;
        ASSERT_EQ(out.size(), 1u) << hex;
        const size_t open = out[0].find('[');
        const std::string number = out[0].substr(open + 1, out[0].find(']') - open - 1);
        if (number.find("nan") != std::string::npos)
            continue;
        uint64_t back = 0;
        if (is_double) {
            const double value = strtod(number.c_str(), nullptr);
            memcpy(&back, &value, sizeof(value));
        } else {
            const float value = strtof(number.c_str(), nullptr);
            uint32_t narrow = 0;
            memcpy(&narrow, &value, sizeof(value));
            back = narrow;
        }
        EXPECT_EQ(back, bits) << hex << " printed as " << number;
    }
}
