// Decoding of wire packets into names, values, text and JSON.

#include "pec_bench/packet.h"

#include <cstdio>
#include <cstring>
#include <sstream>

namespace pec_bench {

namespace {

const char* const packet_types[] = {"ERROR",         "PING",  "PING_RESPONSE", "READ",
                                    "READ_RESPONSE", "WRITE", "WRITE_RESPONSE"};
const char* const data_types[] = {"UINT8",  "INT8",  "UINT16", "INT16",  "UINT32", "INT32",
                                  "UINT64", "INT64", "FLOAT",  "DOUBLE", "STRING"};
const unsigned data_sizes[] = {1, 1, 2, 2, 4, 4, 8, 8, 4, 8, 1};
const char* const addresses[] = {"DESCRIPTION", "HOTSWAP", "POWER",          "PSU",     "FAN",
                                 "STATUS",      "BRIDGE1", "BRIDGE2",        "BRIDGE3", "BRIDGE4",
                                 "BRIDGE5",     "BRIDGE6", "BRIDGE7",        "BRIDGE8", "NETWORK",
                                 "BOOT",        "DISPLAY", "USER_MANAGEMENT"};
const char* const description_subs[] = {"PROCUCT_NAME",
                                        "VERSION",
                                        "IP_ADDRESS",
                                        "SERIAL_NUMBER",
                                        "MANAGER_EMAIL_ADDRESS",
                                        "OS",
                                        "INFORMATION",
                                        "LOCATION",
                                        "MEMO",
                                        "DISK_COUNT",
                                        "DISK_NAME",
                                        "DISK_SIZE",
                                        "CPU_COUNT",
                                        "CPU_MENUFACTURER_NAME",
                                        "CPU_PRUDCUT_NAME",
                                        "CPU_SERIAL_NUMBER",
                                        "CPU_SPEED",
                                        "CPU_CORE_COUNT",
                                        "MEMORY_COUNT",
                                        "MEMORY_SIZE",
                                        "MEMORY_SLOT",
                                        "MEMORY_TYPE",
                                        "MEMORY_MENUFACTURER",
                                        "MEMORY_SPEED",
                                        "MEMORY_SERIAL_NUMBER",
                                        "MEMORY_PART_NUMBER",
                                        "HARDWARE_VERSION"};
const char* const status_subs[] = {"TEMPERATURE_ONBOARD", "TEMPERATURE_EXTRA",  "TEMPERATURE_BMC",
                                   "TEMPERATURE_RACK",    "TEMPERATURE_UNIT_F", "HUMIDITY_RACK",
                                   "LED_ALARM",           "TEMPERATURE_ALARM",  "CPU_USAGE",
                                   "RAM_USAGE",           "DISK_USAGE"};
const char* const network_subs[] = {
    "CONFIG_MODE", "CONFIG_IP_ADDRESS", "CONFIG_GATEWAY",  "CONFIG_SUBNETMASK", "CONFIG_DNS1",
    "CONFIG_DNS2", "CONFIG_APPLY",      "CONFIG_HOSTNAME", "CONFIG_MACADDRESS", "CONFIG_RESET"};

template <size_t N>
std::string name_of(const char* const (&table)[N], unsigned i, const char* prefix) {
    if (i < N) {
        return std::string(prefix) + table[i];
    }
    return "";
}

// Little-endian element i of the given size, sign-extended when asked.
long long element_int(const Bytes& d, size_t off, unsigned size, bool is_signed) {
    unsigned long long v = 0;
    for (unsigned b = 0; b < size; ++b) {
        v |= static_cast<unsigned long long>(d[off + b]) << (8 * b);
    }
    if (is_signed && size < 8 && (v & (1ULL << (8 * size - 1))) != 0) {
        v |= ~0ULL << (8 * size);
    }
    return static_cast<long long>(v);
}

std::string number_list(const Packet& p) {
    Bytes d = p.data();
    uint8_t t = p.data_type();
    unsigned size = data_type_size(t);
    if (size == 0 || d.size() % size != 0) {
        return "";
    }
    std::ostringstream out;
    out << "[";
    for (size_t off = 0; off < d.size(); off += size) {
        if (off != 0) {
            out << ", ";
        }
        if (t == proto::FLOAT) {
            float f;
            memcpy(&f, &d[off], 4);
            char buf[32];
            snprintf(buf, sizeof(buf), "%g", static_cast<double>(f));
            out << buf;
        } else if (t == 9) {
            double f;
            memcpy(&f, &d[off], 8);
            char buf[32];
            snprintf(buf, sizeof(buf), "%g", f);
            out << buf;
        } else if (t == 6) {
            out << static_cast<unsigned long long>(element_int(d, off, 8, false));
        } else {
            out << element_int(d, off, size, t % 2 == 1);
        }
    }
    out << "]";
    return out.str();
}

} // namespace

Bytes Packet::data() const {
    if (raw.size() <= 5 || data_length() == 0) {
        return {};
    }
    size_t end = 5 + data_length();
    if (end > raw.size()) {
        end = raw.size();
    }
    return Bytes(raw.begin() + 5, raw.begin() + static_cast<long>(end));
}

std::string Packet::text() const {
    Bytes d = data();
    std::string s;
    for (uint8_t c : d) {
        if (c == 0) {
            break;
        }
        s.push_back(static_cast<char>(c));
    }
    return s;
}

std::string packet_type_name(uint8_t type) {
    return type < 7 ? packet_types[type] : "TYPE_" + std::to_string(type);
}

std::string data_type_name(uint8_t type) {
    return type < 11 ? data_types[type] : "DATA_TYPE_" + std::to_string(type);
}

unsigned data_type_size(uint8_t type) {
    return type < 11 ? data_sizes[type] : 0;
}

std::string address_name(uint8_t address) {
    if (address < sizeof(addresses) / sizeof(addresses[0])) {
        return addresses[address];
    }
    return "ADDRESS_" + std::to_string(address);
}

std::string subaddress_name(uint8_t address, uint8_t sub) {
    switch (address) {
    case proto::DESCRIPTION:
        return name_of(description_subs, sub, "SUBADDRESS_DESCRIPTION_");
    case proto::STATUS:
        return name_of(status_subs, sub, "SUBADDRESS_STATUS_");
    case proto::NETWORK:
        return name_of(network_subs, sub, "SUBADDRESS_NETWORK_");
    default:
        return "";
    }
}

std::string hex(const Bytes& bytes) {
    std::string s;
    char buf[4];
    for (size_t i = 0; i < bytes.size(); ++i) {
        snprintf(buf, sizeof(buf), i == 0 ? "%02x" : " %02x", bytes[i]);
        s += buf;
    }
    return s;
}

bool parse_hex(const std::string& text, Bytes* out) {
    Bytes result;
    std::istringstream in(text);
    std::string word;
    while (in >> word) {
        if (word.size() > 2 && (word[0] == '0') && (word[1] == 'x' || word[1] == 'X')) {
            word = word.substr(2);
        }
        if (word.empty() || word.size() % 2 != 0) {
            return false;
        }
        for (size_t i = 0; i < word.size(); i += 2) {
            char* end = nullptr;
            std::string pair = word.substr(i, 2);
            unsigned long v = strtoul(pair.c_str(), &end, 16);
            if (end == nullptr || *end != '\0' || v > 0xFF) {
                return false;
            }
            result.push_back(static_cast<uint8_t>(v));
        }
    }
    *out = result;
    return true;
}

std::string json_escape(const std::string& s) {
    std::string o;
    for (unsigned char c : s) {
        switch (c) {
        case '"':
            o += "\\\"";
            break;
        case '\\':
            o += "\\\\";
            break;
        case '\n':
            o += "\\n";
            break;
        case '\t':
            o += "\\t";
            break;
        default:
            if (c < 0x20 || c >= 0x7F) {
                char buf[8];
                snprintf(buf, sizeof(buf), "\\u%04x", c);
                o += buf;
            } else {
                o.push_back(static_cast<char>(c));
            }
        }
    }
    return o;
}

std::string value_text(const Packet& p) {
    if (p.data().empty()) {
        return "";
    }
    if (p.data_type() == proto::STRING) {
        return "\"" + json_escape(p.text()) + "\"";
    }
    return number_list(p);
}

std::string describe(const Packet& p) {
    if (p.raw.empty()) {
        return "(nothing)";
    }
    std::ostringstream out;
    out << packet_type_name(p.type()) << " node " << static_cast<int>(p.node());
    if (p.broadcast()) {
        out << " broadcast";
    }
    if (p.response_required()) {
        out << " response-required";
    }
    if (p.length() > 3) {
        std::string sub = subaddress_name(p.address(), p.subaddress());
        out << " " << address_name(p.address()) << "/"
            << (sub.empty() ? std::to_string(p.subaddress()) : sub);
    }
    if (p.data_length() > 0) {
        out << " " << data_type_name(p.data_type());
        std::string v = value_text(p);
        if (!v.empty()) {
            out << " " << v;
        }
    }
    if (p.raw.size() < p.length()) {
        out << " (truncated: " << p.raw.size() << " of " << static_cast<int>(p.length())
            << " bytes)";
    }
    return out.str();
}

std::string packet_json(const Packet& p) {
    std::ostringstream out;
    out << "{\"len\":" << static_cast<int>(p.length()) << ",\"node\":" << static_cast<int>(p.node())
        << ",\"broadcast\":" << (p.broadcast() ? "true" : "false")
        << ",\"response\":" << (p.response_required() ? "true" : "false") << ",\"type\":\""
        << packet_type_name(p.type()) << "\"";
    if (p.length() > 3) {
        out << ",\"address\":\"" << address_name(p.address())
            << "\",\"sub\":" << static_cast<int>(p.subaddress()) << ",\"subaddress\":\""
            << subaddress_name(p.address(), p.subaddress()) << "\"";
    }
    if (p.data_length() > 0) {
        std::string v = value_text(p);
        out << ",\"data_type\":\"" << data_type_name(p.data_type()) << "\"";
        if (!v.empty()) {
            out << ",\"value\":" << v;
        }
    }
    out << ",\"raw\":\"" << hex(p.raw) << "\"}";
    return out.str();
}

Bytes make_packet(uint8_t node, uint8_t type, uint8_t data_type, uint8_t address,
                  uint8_t subaddress, const Bytes& data) {
    if (type == proto::PING || type == proto::PING_RESPONSE) {
        return {3, node, type};
    }
    size_t n = data.size() > 250 ? 250 : data.size();
    Bytes b = {static_cast<uint8_t>(5 + n), node,
               static_cast<uint8_t>(type | ((data_type & 0x0F) << 3)), address, subaddress};
    b.insert(b.end(), data.begin(), data.begin() + static_cast<long>(n));
    return b;
}

Bytes make_string_packet(uint8_t node, uint8_t address, uint8_t subaddress, const std::string& s,
                         bool with_nul) {
    Bytes d(s.begin(), s.end());
    if (with_nul) {
        d.push_back(0);
    }
    return make_packet(node, proto::WRITE, proto::STRING, address, subaddress, d);
}

} // namespace pec_bench
