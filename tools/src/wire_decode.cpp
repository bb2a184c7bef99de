// Decoding of the BMC link's packets from kernel trace lines and hex lines.
#include "wire_decode.h"

#include "BMC_data_protocol.h"
#include "ipv4_text.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr unsigned int bmc_slave_address = 8;
constexpr unsigned int i2c_read_flag = 0x0001; // I2C_M_RD
// How much of an unreadable line its diagnostic quotes.
constexpr size_t quoted_line_limit = 80;
// Header offsets of the fields after the length byte.
constexpr size_t control1_at = 1, control2_at = 2, address_at = 3, subaddress_at = 4;

std::string get_Number_Name(const char* name, const char* prefix, unsigned int code) {
    return name != nullptr ? name : prefix + std::to_string(code);
}

std::string get_Count_Text(size_t count, const char* what) {
    return std::to_string(count) + " " + what + (count == 1 ? "" : "s");
}

// Text for a quoted value: quote and backslash escaped, newline and tab as
// \n and \t, every other byte outside printable ASCII as \xNN.
std::string get_Escaped_Text(const uint8_t* bytes, size_t length) {
    std::string out;
    for (size_t i = 0; i < length; ++i) {
        const uint8_t c = bytes[i];
        char escaped[8];
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c < 0x20 || c >= 0x7F) {
            snprintf(escaped, sizeof(escaped), "\\x%02x", c);
            out += escaped;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

uint64_t get_Little_Endian(const uint8_t* bytes, unsigned int size) {
    uint64_t value = 0;
    for (unsigned int i = 0; i < size; ++i)
        value |= static_cast<uint64_t>(bytes[i]) << (8 * i);
    return value;
}

// The shortest text that reads back to the same bits.
template <typename Number>
std::string get_Shortest_Text(Number value) {
    char text[40];
    const std::to_chars_result result = std::to_chars(text, text + sizeof(text), value);
    return std::string(text, result.ptr);
}

std::string get_Element_Text(BMC::DATA_TYPE type, const uint8_t* bytes) {
    const unsigned int size = BMC::get_Data_Type_Size(type);
    if (size == 0)
        return "";
    const uint64_t bits = get_Little_Endian(bytes, size);
    if (type == BMC::FLOAT) {
        float value;
        const auto narrow = static_cast<uint32_t>(bits);
        memcpy(&value, &narrow, sizeof(value));
        return get_Shortest_Text(value);
    }
    if (type == BMC::DOUBLE) {
        double value;
        memcpy(&value, &bits, sizeof(value));
        return get_Shortest_Text(value);
    }
    if (type == BMC::INT8 || type == BMC::INT16 || type == BMC::INT32 || type == BMC::INT64) {
        const uint64_t sign = uint64_t{1} << (8 * size - 1);
        return std::to_string(static_cast<long long>((bits ^ sign) - sign));
    }
    return std::to_string(bits);
}

// The value of the `available` data bytes: a quoted text up to its NUL, or
// the list of whole elements; "" when they are not whole elements.
std::string get_Value_Text(BMC::DATA_TYPE type, const uint8_t* data, size_t available) {
    if (available == 0)
        return "";
    if (type == BMC::STRING) {
        const auto* end = static_cast<const uint8_t*>(memchr(data, 0, available));
        const size_t text_length = end != nullptr ? static_cast<size_t>(end - data) : available;
        return "\"" + get_Escaped_Text(data, text_length) + "\"";
    }
    const unsigned int size = BMC::get_Data_Type_Size(type);
    if (size == 0 || available % size != 0)
        return "";
    std::string out = "[";
    for (size_t at = 0; at < available; at += size)
        out += (at == 0 ? "" : ", ") + get_Element_Text(type, data + at);
    return out + "]";
}

// Bytes of a STRING after the NUL that ends its text.
std::string get_String_Problem(BMC::DATA_TYPE type, const uint8_t* data, size_t available) {
    if (type != BMC::STRING || available == 0)
        return "";
    const auto* end = static_cast<const uint8_t*>(memchr(data, 0, available));
    const size_t after = end != nullptr ? available - static_cast<size_t>(end - data) - 1 : 0;
    return after == 0 ? "" : " (" + get_Count_Text(after, "byte") + " after its NUL)";
}

// The IPv4 items: the card's address report and the BMC's settings.
std::string get_IPv4_Problem(const BMC::Packet& packet, const uint8_t* data, size_t available) {
    const uint8_t address = BMC::get_Packet_Address(packet);
    const uint8_t sub = BMC::get_Packet_Subaddress(packet);
    const bool is_netmask =
        address == BMC::NETWORK && sub == BMC::SUBADDRESS_NETWORK_CONFIG_SUBNETMASK;
    const bool is_address =
        (address == BMC::DESCRIPTION && sub == BMC::SUBADDRESS_DESCRIPTION_IP_ADDRESS) ||
        (address == BMC::NETWORK && sub >= BMC::SUBADDRESS_NETWORK_CONFIG_IP_ADDRESS &&
         sub <= BMC::SUBADDRESS_NETWORK_CONFIG_DNS2 && !is_netmask);
    if (!is_address && !is_netmask)
        return "";
    if (BMC::get_Packet_Data_Type(packet) != BMC::STRING)
        return " (an IPv4 item not sent as STRING)";
    std::string text(reinterpret_cast<const char*>(data), available);
    text = text.substr(0, text.find('\0'));
    uint32_t value = 0;
    unsigned int prefix = 0;
    if (text.empty())
        return "";
    if (is_netmask && !get_Netmask_Prefix(text.c_str(), &prefix))
        return " (not a netmask)";
    if (!is_netmask && !parse_Dotted_Quad(text.c_str(), &value))
        return " (not an IPv4 address)";
    return "";
}

// What a MODE item's first byte asks for: 0 DHCP, any other value static.
std::string get_Mode_Name(const BMC::Packet& packet, const uint8_t* data, size_t available) {
    if (available == 0 || BMC::get_Packet_Address(packet) != BMC::NETWORK ||
        BMC::get_Packet_Subaddress(packet) != BMC::SUBADDRESS_NETWORK_CONFIG_MODE)
        return "";
    return data[0] == BMC::SUBADDRESS_NETWORK_CONFIG_MODE_DHCP ? " DHCP" : " static";
}

// What is wrong with the header fields that are on the wire (`present`
// bytes of it): its length against its type, the codes.
std::string get_Header_Problems(const BMC::Packet& packet, size_t present) {
    const uint8_t length = packet.packet_length;
    const BMC::PACKET_TYPE type = BMC::get_Packet_Type(packet);
    const bool typed = present > control2_at;
    const bool ping = typed && (type == BMC::PING || type == BMC::PING_RESPONSE);
    std::string out;
    if (typed && BMC::get_Packet_Type_Name(type) == nullptr)
        out += " (unknown packet type " + std::to_string(type) + ")";
    if (ping && length != BMC::packet_ping_header_length)
        out += " (length " + std::to_string(length) + " for a 3-byte " +
               BMC::get_Packet_Type_Name(type) + ")";
    if ((typed && !ping && length < BMC::packet_header_length) ||
        length < BMC::packet_ping_header_length)
        out += " (header cut to " + get_Count_Text(length, "byte") + ")";
    if (present > control1_at && BMC::get_Packet_Node_ID(packet) > BMC::PEC_32)
        out += " (node " + std::to_string(BMC::get_Packet_Node_ID(packet)) + " is above PEC_32)";
    const uint8_t address = BMC::get_Packet_Address(packet);
    const uint8_t sub = BMC::get_Packet_Subaddress(packet);
    if (present > address_at && BMC::get_Address_Name(address) == nullptr)
        out += " (unknown address " + std::to_string(address) + ")";
    else if ((address == BMC::DESCRIPTION || address == BMC::STATUS || address == BMC::NETWORK) &&
             present > subaddress_at && BMC::get_Subaddress_Name(address, sub) == nullptr)
        out += " (unknown subaddress " + std::to_string(sub) + ")";
    return out;
}

std::string get_Data_Problems(const BMC::Packet& packet) {
    const uint8_t data_length = BMC::get_Packet_Data_Length(packet);
    const BMC::DATA_TYPE type = BMC::get_Packet_Data_Type(packet);
    if (data_length == 0)
        return "";
    const char* name = BMC::get_Data_Type_Name(type);
    if (name == nullptr)
        return " (unknown data type " + std::to_string(type) + ")";
    if (BMC::get_Packet_Data_Count(packet) == 0)
        return " (" + std::to_string(data_length) + " data bytes are not whole " + name +
               " values)";
    return "";
}

// The length byte against what the transfer moved (`on_bus`), and that
// against what the trace shows of it (`seen`).
std::string get_Length_Problem(uint8_t length, size_t seen, size_t on_bus) {
    std::string out;
    if (length > on_bus)
        out +=
            " (truncated: " + std::to_string(on_bus) + " of " + std::to_string(length) + " bytes)";
    else if (on_bus > length)
        out += " (" + get_Count_Text(on_bus - length, "byte") + " after its length)";
    if (seen < on_bus)
        out +=
            " (trace shows " + std::to_string(seen) + " of " + std::to_string(on_bus) + " bytes)";
    return out;
}

bool is_Hex_Digit(char c) {
    return isxdigit(static_cast<unsigned char>(c)) != 0;
}

// One word of hex: "0x0c" or "0xc", "0c", "c", or a run of pairs "0c0055".
bool parse_Hex_Word(const std::string& word, std::vector<uint8_t>* bytes) {
    const bool prefixed = word.size() > 2 && word[0] == '0' && (word[1] == 'x' || word[1] == 'X');
    const std::string digits = prefixed ? word.substr(2) : word;
    if (digits.empty() || (prefixed && digits.size() > 2) ||
        (digits.size() > 1 && digits.size() % 2 != 0))
        return false;
    for (char c : digits) {
        if (!is_Hex_Digit(c))
            return false;
    }
    if (digits.size() == 1) {
        bytes->push_back(static_cast<uint8_t>(std::stoul(digits, nullptr, 16)));
        return true;
    }
    for (size_t at = 0; at < digits.size(); at += 2)
        bytes->push_back(static_cast<uint8_t>(std::stoul(digits.substr(at, 2), nullptr, 16)));
    return true;
}

// A line of another trace event, or the header of the trace file: the
// task-pid, "[cpu]" and time stamp before the event's name.
bool is_Trace_Line(const std::string& line) {
    const size_t open = line.find('[');
    const size_t close = line.find("] ", open == std::string::npos ? 0 : open);
    if (open == std::string::npos || close == std::string::npos || close == open + 1)
        return false;
    for (size_t i = open + 1; i < close; ++i) {
        if (isdigit(static_cast<unsigned char>(line[i])) == 0)
            return false;
    }
    return line.find(": ", close) != std::string::npos;
}

// The count of trace_pipe's "CPU:1 [LOST 1234 EVENTS]", the mark of events
// the kernel's buffer dropped; false for any other line.
bool parse_Lost_Events(const std::string& line, std::string* count) {
    const size_t at = line.find("[LOST ");
    if (at == std::string::npos || line.compare(0, 4, "CPU:") != 0)
        return false;
    const size_t begin = at + 6;
    size_t end = begin;
    while (end < line.size() && isdigit(static_cast<unsigned char>(line[end])) != 0)
        ++end;
    if (end == begin || line.compare(end, 8, " EVENTS]") != 0)
        return false;
    *count = line.substr(begin, end - begin);
    return true;
}

// The time stamp right before the event's name ("  1234.567890: i2c_write:").
std::string get_Trace_Time(const std::string& line, size_t event_at) {
    size_t end = event_at;
    while (end > 0 && (line[end - 1] == ' ' || line[end - 1] == ':'))
        --end;
    size_t begin = end;
    while (begin > 0 &&
           (isdigit(static_cast<unsigned char>(line[begin - 1])) != 0 || line[begin - 1] == '.'))
        --begin;
    return line.substr(begin, end - begin);
}

const char* const kernel_events[] = {"i2c_write:", "i2c_read:", "i2c_reply:", "i2c_result:"};
constexpr int write_event = 0, reply_event = 2, result_event = 3;

// Where the event's name is in `line`, after a space and followed by a space
// or the end; npos for a line of no I2C event.
size_t find_Kernel_Event(const std::string& line, int* event) {
    for (int i = 0; i < 4; ++i) {
        const size_t name_length = strlen(kernel_events[i]);
        for (size_t at = line.find(kernel_events[i]); at != std::string::npos;
             at = line.find(kernel_events[i], at + 1)) {
            const size_t after = at + name_length;
            if ((at == 0 || line[at - 1] == ' ') && (after == line.size() || line[after] == ' ')) {
                *event = i;
                return at;
            }
        }
    }
    return std::string::npos;
}

// Reads " name" and a number in `base` within [min, max] at `*at`, moving
// past them; false when the name or the number is missing or out of range.
bool read_Field(const char** at, const char* name, int base, long min, long max, long* value) {
    const char* p = *at;
    while (*p == ' ')
        ++p;
    const size_t name_length = strlen(name);
    if (strncmp(p, name, name_length) != 0)
        return false;
    p += name_length;
    const bool sign = *p == '-' && min < 0;
    if (!is_Hex_Digit(sign ? p[1] : *p))
        return false;
    char* end = nullptr;
    errno = 0;
    const long number = strtol(p, &end, base);
    if (errno != 0 || number < min || number > max || (*end != '\0' && *end != ' '))
        return false;
    *value = number;
    *at = end;
    return true;
}

std::string get_Errno_Text(int result) {
    return std::string(strerror(-result));
}

} // namespace

const char* get_Wire_Direction_Name(Wire_Direction direction) {
    switch (direction) {
    case Wire_Direction::CARD_TO_BMC:
        return "card -> BMC";
    case Wire_Direction::BMC_TO_CARD:
        return "BMC -> card";
    default:
        return "";
    }
}

std::string get_Wire_Packet_Text(const std::vector<uint8_t>& seen, size_t on_bus) {
    if (seen.empty())
        return "(no bytes)";
    if (on_bus == 0)
        on_bus = seen.size();
    const uint8_t length = seen[0];
    if (length == 0)
        return "no packet (length 0)";
    BMC::Packet packet;
    BMC::init_Packet_From_Wire(&packet, seen.data(), seen.size());
    // A header field is on the wire when the packet's length reaches it and
    // the bytes at hand hold it; any other is "-".
    const size_t present = std::min<size_t>(length, seen.size());
    const BMC::PACKET_TYPE type = BMC::get_Packet_Type(packet);

    std::string out = present > control2_at
                          ? get_Number_Name(BMC::get_Packet_Type_Name(type), "TYPE_", type)
                          : "-";
    out += " node " + (present > control1_at ? std::to_string(BMC::get_Packet_Node_ID(packet))
                                             : std::string("-"));
    if (present > control1_at && BMC::get_Packet_Broadcast(packet))
        out += " broadcast";
    if (present > control2_at && BMC::get_Packet_Response_Require_Flag(packet))
        out += " response-required";
    if (length > BMC::packet_ping_header_length) {
        const uint8_t address = BMC::get_Packet_Address(packet);
        const uint8_t sub = BMC::get_Packet_Subaddress(packet);
        const char* sub_name = BMC::get_Subaddress_Name(address, sub);
        out += " " +
               (present > address_at
                    ? get_Number_Name(BMC::get_Address_Name(address), "ADDRESS_", address)
                    : "-") +
               "/" +
               (present > subaddress_at ? (sub_name != nullptr ? sub_name : std::to_string(sub))
                                        : "-");
    }
    // The data part as far as it was seen; bytes the packet code filled in
    // for a cut packet are not shown.
    const size_t data_length = BMC::get_Packet_Data_Length(packet);
    const size_t seen_data =
        seen.size() > BMC::packet_header_length
            ? std::min<size_t>(seen.size() - BMC::packet_header_length, data_length)
            : 0;
    std::string data_problems;
    if (data_length > 0 && present > control2_at) {
        const BMC::DATA_TYPE data_type = BMC::get_Packet_Data_Type(packet);
        out += " " + get_Number_Name(BMC::get_Data_Type_Name(data_type), "DATA_TYPE_", data_type);
        const std::string value = get_Value_Text(data_type, packet.data, seen_data);
        if (!value.empty())
            out += " " + value + get_Mode_Name(packet, packet.data, seen_data);
        data_problems =
            get_Data_Problems(packet) + get_String_Problem(data_type, packet.data, seen_data) +
            (seen_data == data_length ? get_IPv4_Problem(packet, packet.data, seen_data) : "");
    }
    return out + get_Length_Problem(length, seen.size(), on_bus) +
           get_Header_Problems(packet, present) + data_problems;
}

bool parse_Wire_Hex(const std::string& text, std::vector<uint8_t>* bytes) {
    std::vector<uint8_t> out;
    std::string word;
    for (size_t i = 0; i <= text.size(); ++i) {
        const char c = i < text.size() ? text[i] : ' ';
        if (c == ' ' || c == '\t' || c == '-' || c == ',' || c == ':' || c == '\r') {
            if (!word.empty() && !parse_Hex_Word(word, &out))
                return false;
            word.clear();
        } else {
            word += c;
        }
    }
    if (out.empty())
        return false;
    *bytes = out;
    return true;
}

bool Wire_Line_Splitter::take(const char* data, size_t size, const Handler& line) {
    while (size > 0) {
        const auto* end = static_cast<const char*>(memchr(data, '\n', size));
        const size_t part = end != nullptr ? static_cast<size_t>(end - data) : size;
        if (!skipping_) {
            const size_t room = wire_line_limit - line_.size();
            line_.append(data, std::min(part, room));
            if (part > room) {
                skipping_ = true;
                if (!line(line_, true))
                    return false;
            }
        }
        data += part;
        size -= part;
        if (end == nullptr)
            return true;
        ++data;
        --size;
        const bool was_skipping = skipping_;
        skipping_ = false;
        std::string text;
        text.swap(line_);
        if (!was_skipping && !line(text, false))
            return false;
    }
    return true;
}

bool Wire_Line_Splitter::finish(const Handler& line) {
    const bool had_line = !line_.empty() && !skipping_;
    std::string text;
    text.swap(line_);
    skipping_ = false;
    return !had_line || line(text, false);
}

void Wire_Decoder::add_Problem(const std::string& what) {
    problems_.push_back(file_ + ":" + std::to_string(line_number_) + ": " + what);
}

std::vector<std::string> Wire_Decoder::take_Problems() {
    std::vector<std::string> out;
    out.swap(problems_);
    return out;
}

std::vector<std::string> Wire_Decoder::start_File(const std::string& name) {
    std::vector<std::string> out = finish();
    file_ = name;
    line_number_ = 0;
    return out;
}

std::vector<std::string> Wire_Decoder::skip_Long_Line() {
    ++line_number_;
    add_Problem("line longer than " + std::to_string(wire_line_limit) + " bytes, skipped");
    // Whatever it was, the transfer before it is not paired across it.
    return finish();
}

std::vector<std::string> Wire_Decoder::read_Line(const std::string& line) {
    ++line_number_;
    int event = 0;
    const size_t event_at = find_Kernel_Event(line, &event);
    if (event_at != std::string::npos)
        return read_Kernel_Line(line, event, event_at,
                                line.c_str() + event_at + strlen(kernel_events[event]));
    std::string lost;
    if (parse_Lost_Events(line, &lost)) {
        add_Problem("the trace lost " + lost + " events here");
        return finish();
    }

    const size_t first = line.find_first_not_of(" \t\r");
    if (first == std::string::npos || line[first] == '#' || is_Trace_Line(line))
        return {};
    std::vector<uint8_t> bytes;
    if (!parse_Wire_Hex(line, &bytes)) {
        const size_t quoted = std::min(line.size(), quoted_line_limit);
        add_Problem("not hex and not an I2C event: \"" +
                    get_Escaped_Text(reinterpret_cast<const uint8_t*>(line.data()), quoted) +
                    (quoted < line.size() ? "\"..." : "\""));
        return {};
    }
    std::vector<std::string> out = finish();
    const std::string direction = get_Wire_Direction_Name(options_.hex_direction);
    out.push_back((direction.empty() ? "" : direction + "  ") + get_Wire_Packet_Text(bytes));
    return out;
}

std::vector<std::string> Wire_Decoder::read_Kernel_Line(const std::string& line, int event,
                                                        size_t event_at, const char* fields) {
    const std::string name(kernel_events[event], strlen(kernel_events[event]) - 1);
    std::vector<std::string> out;
    long adapter = -1;
    // A line of another adapter is left out; one whose fields cannot be read
    // is reported, and nothing pairs across it.
    auto damaged = [&](const std::string& what) {
        out = finish();
        add_Problem("an " + name + " line " + what);
        return out;
    };
    if (!read_Field(&fields, "i2c-", 10, 0, INT_MAX, &adapter))
        return damaged("without its adapter (i2c-N)");
    if (adapter != options_.adapter)
        return out;
    if (event == result_event) { // i2c_result: i2c-0 n=1 ret=1
        long messages = 0, result = 0;
        if (!read_Field(&fields, "n=", 10, 0, INT_MAX, &messages) ||
            !read_Field(&fields, "ret=", 10, INT_MIN, INT_MAX, &result))
            return damaged("without its n= and ret=");
        flush(&out, static_cast<int>(result), true);
        return out;
    }
    long number = 0, address = 0, flags = 0, length = 0;
    if (!read_Field(&fields, "#", 10, 0, INT_MAX, &number) ||
        !read_Field(&fields, "a=", 16, 0, 0xFFFF, &address) ||
        !read_Field(&fields, "f=", 16, 0, 0xFFFF, &flags) ||
        !read_Field(&fields, "l=", 10, 0, 0xFFFF, &length))
        return damaged("without its #N, a=, f= and l=");
    std::vector<uint8_t> bytes;
    if (event == write_event || event == reply_event) {
        const char* open = strchr(fields, '[');
        const char* close = open != nullptr ? strchr(open, ']') : nullptr;
        if (open == nullptr)
            return damaged("without its bytes [..]");
        if (close == nullptr)
            return damaged("whose bytes [.. are not closed");
        if (close > open + 1 && !parse_Wire_Hex(std::string(open + 1, close), &bytes))
            return damaged("whose bytes are not hex");
        // The kernel shows at most 64 of them; other writers of this form
        // (the bench) show them all, but never more than the message held.
        if (bytes.size() > static_cast<size_t>(length))
            return damaged("with " + get_Count_Text(bytes.size(), "byte") +
                           " for l=" + std::to_string(length));
    }

    const bool reply = event == reply_event;
    if (reply && pending_.open && pending_.is_read && !pending_.replied &&
        static_cast<unsigned long>(address) == bmc_slave_address) {
        pending_.bytes = bytes;
        pending_.length = static_cast<size_t>(length);
        pending_.replied = true;
        return out;
    }
    // Another transfer ends the pending one: its result line then finds
    // nothing pending.
    flush(&out, 0, false);
    if (static_cast<unsigned long>(address) != bmc_slave_address)
        return out;
    pending_.open = true;
    pending_.is_read = event != write_event || (flags & i2c_read_flag) != 0;
    pending_.replied = reply;
    pending_.time = get_Trace_Time(line, event_at);
    pending_.bytes = bytes;
    pending_.length = static_cast<size_t>(length);
    return out;
}

std::string Wire_Decoder::get_Transfer_Text(const Transfer& transfer, int result,
                                            bool has_result) const {
    const std::string time = transfer.time.empty() ? "" : transfer.time + "  ";
    const std::string outcome = !has_result  ? "  no result in the trace"
                                : result < 0 ? "  FAILED (" + get_Errno_Text(result) + ")"
                                             : "";
    if (!transfer.is_read) {
        return time + get_Wire_Direction_Name(Wire_Direction::CARD_TO_BMC) + "  " +
               get_Wire_Packet_Text(transfer.bytes, transfer.length) + outcome;
    }
    const std::string head = time + get_Wire_Direction_Name(Wire_Direction::BMC_TO_CARD) + "  ";
    if ((!transfer.replied || transfer.bytes.empty()) && has_result && result < 0)
        return head + "read failed (" + get_Errno_Text(result) + ")";
    if (!transfer.replied || transfer.bytes.empty())
        return head + "read, no reply in the trace" + (has_result ? "" : ", no result");
    // What follows the packet's length is the BMC's filler, moved but not
    // part of the packet.
    std::vector<uint8_t> packet = transfer.bytes;
    const size_t length = std::max<size_t>(packet[0], 1);
    if (packet.size() > length)
        packet.resize(length);
    return head + get_Wire_Packet_Text(packet, std::min(transfer.length, length)) + outcome;
}

void Wire_Decoder::flush(std::vector<std::string>* out, int result, bool has_result) {
    if (pending_.open)
        out->push_back(get_Transfer_Text(pending_, result, has_result));
    pending_ = Transfer();
}

std::vector<std::string> Wire_Decoder::finish() {
    std::vector<std::string> out;
    flush(&out, 0, false);
    return out;
}
