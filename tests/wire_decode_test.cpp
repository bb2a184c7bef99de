#include "wire_decode.h"

#include "support/wire_examples.h"

#include <gtest/gtest.h>

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
    Wire_Direction hex_direction = Wire_Direction::UNKNOWN;
};

const std::string os = "WRITE node 0 DESCRIPTION/SUBADDRESS_DESCRIPTION_";
const std::string config = "WRITE node 1 NETWORK/SUBADDRESS_NETWORK_CONFIG_";
const std::string result_ok = event("612.345690", "i2c_result: i2c-0 n=1 ret=1");

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
         {"613.5  BMC -> card  " + config + "MODE UINT8 [1]"}},
        {"an idle BMC's zeros",
         {event("614.0", "i2c_read: i2c-0 #0 a=008 f=0001 l=256"),
          event("614.1", "i2c_reply: i2c-0 #0 a=008 f=0001 l=256 [" + dashed("00", 64) + "]"),
          result_ok},
         {"614.0  BMC -> card  ERROR node 0 (length 0: no packet)"}},
        {"a failed write and a failed read",
         {event("615.0", "i2c_write: i2c-0 #0 a=008 f=0000 l=3 [03-00-01]"),
          event("615.1", "i2c_result: i2c-0 n=1 ret=-121"),
          event("616.0", "i2c_read: i2c-0 #0 a=008 f=0001 l=256"),
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
         {event("618.0", "i2c_write: i2c-0 #0 a=008 f=0000 l=7 [0a-01-55-0e-07-61-62]")},
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
         {event("620.0", "i2c_write: i2c-0 #0 a=008 f=0000 l=3 [03-00-01]")},
         {"620.0  card -> BMC  PING node 0"}},
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
         Wire_Direction::BMC_TO_CARD},
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
        {"a header cut to four",
         {"04 01 05 0e"},
         {"WRITE node 1 NETWORK/SUBADDRESS_NETWORK_CONFIG_MODE (header cut to 4 bytes)"}},
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
         {config + "HOSTNAME STRING \"a\\\"\\n\\u00e9\""}},
        {"a line that is neither",
         {"", "hello"},
         {"line 2: not hex and not an I2C event: \"hello\""}},
    };
}

const std::vector<Row>& rows() {
    static const std::vector<Row> table = [] {
        std::vector<Row> all;
        for (const std::vector<Row>& part :
             {kernel_Rows(), kernel_Odd_Rows(), hex_Rows(), damaged_Rows()})
            all.insert(all.end(), part.begin(), part.end());
        return all;
    }();
    return table;
}

Lines decode(const Lines& input, const Wire_Decode_Options& options) {
    Wire_Decoder decoder(options);
    Lines out;
    for (const std::string& line : input) {
        Lines more = decoder.read_Line(line);
        out.insert(out.end(), more.begin(), more.end());
    }
    Lines rest = decoder.finish();
    out.insert(out.end(), rest.begin(), rest.end());
    return out;
}

} // namespace

TEST(WireDecode, Table) {
    for (const Row& row : rows()) {
        SCOPED_TRACE(row.what);
        Wire_Decode_Options options;
        options.hex_direction = row.hex_direction;
        EXPECT_EQ(decode(row.input, options), row.decoded);
    }
}

// Every packet of the shared wire table reads as the bench's own decoder
// prints it; a damaged one may add what is wrong with it.
TEST(WireDecode, AgreesWithTheBenchOnTheWireExamples) {
    for (const Wire_Example& example : wire_Examples()) {
        SCOPED_TRACE(example.description);
        Lines out = decode({example.wire}, Wire_Decode_Options());
        ASSERT_EQ(out.size(), 1u);
        if (example.buildable)
            EXPECT_EQ(out[0], example.decoded);
        else
            EXPECT_EQ(out[0].substr(0, example.decoded.size()), example.decoded);
    }
}
