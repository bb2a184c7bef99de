// Fuzzes pec-decode's line reader on arbitrary input split into lines: it
// must not crash, and what it prints is one line of plain text each (no
// control bytes from the packet or the input reach the terminal). Hex that
// it reads, written out again, reads the same.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "wire_decode.h"

namespace {

void check(bool holds) {
    if (!holds)
        abort();
}

void check_Plain(const std::vector<std::string>& lines) {
    for (const std::string& line : lines) {
        for (char c : line)
            check(static_cast<unsigned char>(c) >= 0x20 && c != 0x7F);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    Wire_Decode_Options options;
    options.hex_direction = size % 2 == 0 ? Wire_Direction::CARD_TO_BMC : Wire_Direction::UNKNOWN;
    Wire_Decoder decoder(options);
    size_t begin = 0;
    while (begin <= input.size()) {
        size_t end = input.find('\n', begin);
        if (end == std::string::npos)
            end = input.size();
        const std::string line = input.substr(begin, end - begin);
        check_Plain(decoder.read_Line(line));

        std::vector<uint8_t> bytes;
        if (parse_Wire_Hex(line, &bytes)) {
            std::string again;
            for (uint8_t byte : bytes) {
                char text[4];
                snprintf(text, sizeof(text), "%02x ", byte);
                again += text;
            }
            std::vector<uint8_t> reread;
            check(parse_Wire_Hex(again, &reread) && reread == bytes);
        }
        begin = end + 1;
    }
    check_Plain(decoder.finish());
    return 0;
}
