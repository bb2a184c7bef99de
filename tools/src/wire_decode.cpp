// Decoding of the BMC link's packets from kernel trace lines and hex lines.
#include "wire_decode.h"

#include "BMC_data_protocol.h"
#include "ipv4_text.h"

#include <cctype>
#include <cstdio>
#include <cstring>

namespace {

constexpr unsigned int bmc_slave_address = 8;
constexpr unsigned int i2c_read_flag = 0x0001; // I2C_M_RD

std::string get_Number_Name(const char* name, const char* prefix, unsigned int code) {
    return name != nullptr ? name : prefix + std::to_string(code);
}

// Text for a quoted value: quote, backslash, control and non-ASCII bytes
// escaped, as the bench's trace writes them.
std::string get_Escaped_Text(const uint8_t* bytes, size_t length) {
    std::string out;
    for (size_t i = 0; i < length && bytes[i] != 0; ++i) {
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
            snprintf(escaped, sizeof(escaped), "\\u%04x", c);
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

std::string get_Element_Text(BMC::DATA_TYPE type, const uint8_t* bytes) {
    const unsigned int size = BMC::get_Data_Type_Size(type);
    const uint64_t bits = get_Little_Endian(bytes, size);
    char text[40];
    if (type == BMC::FLOAT) {
        float value;
        const auto narrow = static_cast<uint32_t>(bits);
        memcpy(&value, &narrow, sizeof(value));
        snprintf(text, sizeof(text), "%g", static_cast<double>(value));
    } else if (type == BMC::DOUBLE) {
        double value;
        memcpy(&value, &bits, sizeof(value));
        snprintf(text, sizeof(text), "%g", value);
    } else if (type == BMC::INT8 || type == BMC::INT16 || type == BMC::INT32 ||
               type == BMC::INT64) {
        const uint64_t sign = uint64_t{1} << (8 * size - 1);
        const auto value = static_cast<long long>((bits ^ sign) - sign);
        snprintf(text, sizeof(text), "%lld", value);
    } else {
        snprintf(text, sizeof(text), "%llu", static_cast<unsigned long long>(bits));
    }
    return text;
}

// The value of the `available` data bytes: a quoted text up to its NUL, or
// the list of whole elements; "" when they are not whole elements.
std::string get_Value_Text(BMC::DATA_TYPE type, const uint8_t* data, size_t available) {
    if (available == 0)
        return "";
    if (type == BMC::STRING)
        return "\"" + get_Escaped_Text(data, available) + "\"";
    const unsigned int size = BMC::get_Data_Type_Size(type);
    if (size == 0 || available % size != 0)
        return "";
    std::string out = "[";
    for (size_t at = 0; at < available; at += size)
        out += (at == 0 ? "" : ", ") + get_Element_Text(type, data + at);
    return out + "]";
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

// What is wrong with the header: its length against its type, the codes.
std::string get_Header_Problems(const BMC::Packet& packet) {
    const uint8_t length = packet.packet_length;
    const BMC::PACKET_TYPE type = BMC::get_Packet_Type(packet);
    const bool ping = type == BMC::PING || type == BMC::PING_RESPONSE;
    std::string out;
    if (length == 0)
        return " (length 0: no packet)";
    if (BMC::get_Packet_Type_Name(type) == nullptr)
        out += " (unknown packet type " + std::to_string(type) + ")";
    if (ping && length != BMC::packet_ping_header_length)
        out += " (length " + std::to_string(length) + " for a 3-byte " +
               BMC::get_Packet_Type_Name(type) + ")";
    if (!ping && length < BMC::packet_header_length)
        out += " (header cut to " + std::to_string(length) + " bytes)";
    if (length <= BMC::packet_ping_header_length)
        return out;
    const uint8_t address = BMC::get_Packet_Address(packet);
    const uint8_t sub = BMC::get_Packet_Subaddress(packet);
    if (BMC::get_Address_Name(address) == nullptr)
        out += " (unknown address " + std::to_string(address) + ")";
    else if ((address == BMC::DESCRIPTION || address == BMC::STATUS || address == BMC::NETWORK) &&
             length > 4 && BMC::get_Subaddress_Name(address, sub) == nullptr)
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

// The bytes seen against the length byte and the transfer.
std::string get_Length_Problem(uint8_t length, size_t seen, size_t on_bus) {
    if (length > on_bus)
        return " (truncated: " + std::to_string(on_bus) + " of " + std::to_string(length) +
               " bytes)";
    if (length > seen)
        return " (trace shows " + std::to_string(seen) + " of " + std::to_string(length) +
               " bytes)";
    if (seen > length && length > 0)
        return " (" + std::to_string(seen - length) + (seen - length == 1 ? " byte" : " bytes") +
               " after its length)";
    return "";
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

const char* const kernel_events[] = {"i2c_write: ", "i2c_read: ", "i2c_reply: ", "i2c_result: "};

size_t find_Kernel_Event(const std::string& line, int* event) {
    for (int i = 0; i < 4; ++i) {
        size_t at = line.find(kernel_events[i]);
        if (at != std::string::npos) {
            *event = i;
            return at;
        }
    }
    return std::string::npos;
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

std::string get_Wire_Packet_Text(const std::vector<uint8_t>& seen, size_t transferred) {
    if (seen.empty())
        return "(no bytes)";
    BMC::Packet packet;
    BMC::init_Packet_From_Wire(&packet, seen.data(), seen.size());
    const uint8_t length = packet.packet_length;

    std::string out = get_Number_Name(BMC::get_Packet_Type_Name(BMC::get_Packet_Type(packet)),
                                      "TYPE_", BMC::get_Packet_Type(packet)) +
                      " node " + std::to_string(BMC::get_Packet_Node_ID(packet));
    if (BMC::get_Packet_Broadcast(packet))
        out += " broadcast";
    if (BMC::get_Packet_Response_Require_Flag(packet))
        out += " response-required";
    if (length > BMC::packet_ping_header_length) {
        const uint8_t address = BMC::get_Packet_Address(packet);
        const uint8_t sub = BMC::get_Packet_Subaddress(packet);
        const char* sub_name = BMC::get_Subaddress_Name(address, sub);
        out += " " + get_Number_Name(BMC::get_Address_Name(address), "ADDRESS_", address) + "/" +
               (sub_name != nullptr ? sub_name : std::to_string(sub));
    }
    // The data part as far as it was seen; bytes the packet code filled in
    // for a cut packet are not shown.
    const size_t seen_data = seen.size() > BMC::packet_header_length
                                 ? std::min<size_t>(seen.size() - BMC::packet_header_length,
                                                    BMC::get_Packet_Data_Length(packet))
                                 : 0;
    std::string ipv4_problem;
    if (BMC::get_Packet_Data_Length(packet) > 0) {
        const BMC::DATA_TYPE type = BMC::get_Packet_Data_Type(packet);
        out += " " + get_Number_Name(BMC::get_Data_Type_Name(type), "DATA_TYPE_", type);
        const std::string value = get_Value_Text(type, packet.data, seen_data);
        if (!value.empty())
            out += " " + value;
        ipv4_problem = get_IPv4_Problem(packet, packet.data, seen_data);
    }
    out += get_Length_Problem(length, seen.size(),
                              transferred > seen.size() ? transferred : seen.size());
    return out + get_Header_Problems(packet) + get_Data_Problems(packet) + ipv4_problem;
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

std::vector<std::string> Wire_Decoder::read_Line(const std::string& line) {
    ++line_number_;
    int event = 0;
    const size_t event_at = find_Kernel_Event(line, &event);
    if (event_at != std::string::npos)
        return read_Kernel_Line(line, event, event_at);

    const size_t first = line.find_first_not_of(" \t\r");
    if (first == std::string::npos || line[first] == '#' || is_Trace_Line(line))
        return {};
    std::vector<uint8_t> bytes;
    if (!parse_Wire_Hex(line, &bytes))
        return {"line " + std::to_string(line_number_) + ": not hex and not an I2C event: \"" +
                get_Escaped_Text(reinterpret_cast<const uint8_t*>(line.data()), line.size()) +
                "\""};
    std::vector<std::string> out;
    flush(&out, 0, false);
    const std::string direction = get_Wire_Direction_Name(options_.hex_direction);
    out.push_back((direction.empty() ? "" : direction + "  ") + get_Wire_Packet_Text(bytes));
    return out;
}

std::vector<std::string> Wire_Decoder::read_Kernel_Line(const std::string& line, int event,
                                                        size_t event_at) {
    const char* fields = line.c_str() + event_at + strlen(kernel_events[event]);
    std::vector<std::string> out;
    int adapter = -1;
    if (event == 3) { // i2c_result: i2c-0 n=1 ret=1
        unsigned int messages = 0;
        int result = 0;
        if (sscanf(fields, "i2c-%d n=%u ret=%d", &adapter, &messages, &result) == 3 &&
            adapter == options_.adapter) {
            flush(&out, result, true);
        }
        return out;
    }
    unsigned int number = 0, address = 0, flags = 0, length = 0;
    if (sscanf(fields, "i2c-%d #%u a=%x f=%x l=%u", &adapter, &number, &address, &flags, &length) !=
            5 ||
        adapter != options_.adapter)
        return out;
    std::vector<uint8_t> bytes;
    const char* open = strchr(fields, '[');
    const char* close = open != nullptr ? strchr(open, ']') : nullptr;
    if (open != nullptr && close != nullptr && close > open + 1)
        parse_Wire_Hex(std::string(open + 1, close), &bytes);

    const bool reply = event == 2;
    if (reply && pending_.open && pending_.is_read && !pending_.replied &&
        address == bmc_slave_address) {
        pending_.bytes = bytes;
        pending_.length = length;
        pending_.replied = true;
        return out;
    }
    // Another slave's transfer ends the pending one; its result line then
    // finds nothing pending.
    flush(&out, 0, false);
    if (address != bmc_slave_address)
        return out;
    pending_.open = true;
    pending_.is_read = event != 0 || (flags & i2c_read_flag) != 0;
    pending_.replied = reply;
    pending_.time = get_Trace_Time(line, event_at);
    pending_.bytes = bytes;
    pending_.length = length;
    return out;
}

std::string Wire_Decoder::get_Transfer_Text(const Transfer& transfer, int result) const {
    const std::string time = transfer.time.empty() ? "" : transfer.time + "  ";
    if (!transfer.is_read) {
        std::string text = time + get_Wire_Direction_Name(Wire_Direction::CARD_TO_BMC) + "  " +
                           get_Wire_Packet_Text(transfer.bytes, transfer.length);
        return result < 0 ? text + "  FAILED (" + get_Errno_Text(result) + ")" : text;
    }
    const std::string head = time + get_Wire_Direction_Name(Wire_Direction::BMC_TO_CARD) + "  ";
    if (!transfer.replied || transfer.bytes.empty())
        return head + (result < 0 ? "read failed (" + get_Errno_Text(result) + ")"
                                  : "read, no reply in the trace");
    // What follows the packet's length is the BMC's filler.
    std::vector<uint8_t> packet = transfer.bytes;
    const size_t length = packet[0] == 0 ? 1 : packet[0];
    if (packet.size() > length)
        packet.resize(length);
    return head + get_Wire_Packet_Text(packet, transfer.length);
}

void Wire_Decoder::flush(std::vector<std::string>* out, int result, bool has_result) {
    if (pending_.open)
        out->push_back(get_Transfer_Text(pending_, has_result ? result : 0));
    pending_ = Transfer();
}

std::vector<std::string> Wire_Decoder::finish() {
    std::vector<std::string> out;
    flush(&out, 0, false);
    return out;
}
