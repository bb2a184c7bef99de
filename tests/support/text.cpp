// Looking at texts in assertions.
#include "support/text.h"

#include <regex>
#include <sstream>

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

std::vector<std::string> lines_Of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

std::string log_Line(const std::string& level, const std::string& text) {
    return "[" + level + "]\t" + text + "\n";
}

std::string without_Colours(const std::string& log) {
    static const std::regex colour("\x1b\\[[0-9;]*m");
    return std::regex_replace(log, colour, "");
}
