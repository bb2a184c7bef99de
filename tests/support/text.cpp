// Looking at texts in assertions.
#include "support/text.h"

size_t count_Of(const std::string& text, const std::string& part) {
    size_t count = 0;
    for (size_t at = text.find(part); !part.empty() && at != std::string::npos;
         at = text.find(part, at + part.size()))
        ++count;
    return count;
}

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

std::string log_Line(const std::string& level, const std::string& text) {
    return "[" + level + "]\t" + text + "\n";
}

// A colour code is ESC '[', digits and ';', then 'm'; the daemon escapes
// every ESC of the texts it logs, so no other ESC reaches a log.
std::string without_Colours(const std::string& log) {
    std::string plain;
    size_t from = 0;
    for (size_t at = log.find("\x1b["); at != std::string::npos; at = log.find("\x1b[", at + 2)) {
        size_t end = log.find_first_not_of("0123456789;", at + 2);
        if (end == std::string::npos || log[end] != 'm')
            continue;
        plain.append(log, from, at - from);
        from = end + 1;
    }
    return plain.append(log, from, std::string::npos);
}
