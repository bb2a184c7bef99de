// Fuzzes pec-decode's line reader on arbitrary input, cut into lines as
// pec-decode cuts it: it must not crash, and what it prints and reports is
// one line of plain text each (no control bytes from the packet or the
// input reach the terminal). Hex that it reads, written out again, reads the
// same, and its decoded packet holds no field the bytes lack: no type
// without a third byte, no node without a second, no value without a sixth.
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

void check_Hex(const std::string& line) {
    std::vector<uint8_t> bytes;
    if (!parse_Wire_Hex(line, &bytes))
        return;
    std::string again;
    for (uint8_t byte : bytes) {
        char text[4];
        snprintf(text, sizeof(text), "%02x ", byte);
        again += text;
    }
    std::vector<uint8_t> reread;
    check(parse_Wire_Hex(again, &reread) && reread == bytes);

    // The header fields on the wire: those that both the length byte and
    // the bytes reach.
    const std::string text = get_Wire_Packet_Text(bytes);
    const size_t present = bytes[0] < bytes.size() ? bytes[0] : bytes.size();
    if (bytes[0] == 0) {
        check(text.compare(0, 9, "no packet") == 0);
        return;
    }
    if (present < 3)
        check(text.compare(0, 2, "- ") == 0);
    if (present < 2)
        check(text.compare(0, 8, "- node -") == 0);
    if (present < 6) {
        const size_t problems = text.find(" (");
        check(text.substr(0, problems).find_first_of("[\"") == std::string::npos);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Wire_Decode_Options options;
    options.hex_direction = size % 2 == 0 ? Wire_Direction::CARD_TO_BMC : Wire_Direction::UNKNOWN;
    Wire_Decoder decoder(options);
    const Wire_Line_Splitter::Handler line = [&](const std::string& text, bool too_long) {
        check(text.size() <= wire_line_limit);
        check_Plain(too_long ? decoder.skip_Long_Line() : decoder.read_Line(text));
        check_Plain(decoder.take_Problems());
        if (!too_long)
            check_Hex(text);
        return true;
    };
    Wire_Line_Splitter splitter;
    // In two pieces, so that lines also meet the cut between reads.
    const size_t half = size / 2;
    splitter.take(reinterpret_cast<const char*>(data), half, line);
    splitter.take(reinterpret_cast<const char*>(data) + half, size - half, line);
    splitter.finish(line);
    check_Plain(decoder.finish());
    return 0;
}
