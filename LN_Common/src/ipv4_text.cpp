// The text forms of IPv4 settings and the conversions between them.
#include "ipv4_text.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

bool parse_Dotted_Quad(const char* text, uint32_t* value) {
    if (text == nullptr)
        return false;
    const char* p = text;
    uint32_t address = 0;
    for (int octet = 0; octet < 4; octet++) {
        if (octet > 0) {
            if (*p != '.')
                return false;
            p++;
        }
        if (*p < '0' || *p > '9')
            return false;
        if (*p == '0' && p[1] >= '0' && p[1] <= '9')
            return false;
        unsigned int number = 0;
        int digits = 0;
        while (*p >= '0' && *p <= '9') {
            if (++digits > 3)
                return false;
            number = number * 10 + static_cast<unsigned int>(*p - '0');
            p++;
        }
        if (number > 255)
            return false;
        address = (address << 8) | number;
    }
    if (*p != '\0')
        return false;
    *value = address;
    return true;
}

bool get_Netmask_Prefix(const char* text, unsigned int* prefix) {
    uint32_t mask = 0;
    if (!parse_Dotted_Quad(text, &mask))
        return false;
    // Contiguous from the top: the inverted mask plus one is a power of two.
    uint32_t host_bits = ~mask;
    if ((host_bits & (host_bits + 1)) != 0)
        return false;
    unsigned int count = 0;
    for (uint32_t bits = mask; bits != 0; bits <<= 1)
        count++;
    *prefix = count;
    return true;
}

bool parse_Prefix_Length(const char* text, bool whole_text, unsigned int* prefix) {
    if (text[0] < '0' || text[0] > '9')
        return false;
    errno = 0;
    char* end = nullptr;
    unsigned long value = strtoul(text, &end, 10);
    if (errno != 0 || value > 32)
        return false;
    if (whole_text && *end != '\0')
        return false;
    *prefix = static_cast<unsigned int>(value);
    return true;
}

std::string get_Prefix_Netmask(unsigned int prefix) {
    uint32_t mask = prefix == 0 ? 0 : 0xFFFFFFFFu << (32 - prefix);
    char text[16];
    snprintf(text, sizeof(text), "%u.%u.%u.%u", (mask >> 24) & 0xFF, (mask >> 16) & 0xFF,
             (mask >> 8) & 0xFF, mask & 0xFF);
    return text;
}
