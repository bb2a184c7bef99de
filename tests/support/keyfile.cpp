// What a NetworkManager keyfile says.
#include "support/keyfile.h"

#include <sstream>

Keyfile_Meaning keyfile_Meaning(const std::string& text) {
    Keyfile_Meaning meaning;
    std::istringstream lines(text);
    std::string section;
    for (std::string line; std::getline(lines, line);) {
        if (line.empty() || line[0] == '#')
            continue;
        if (line[0] == '[') {
            section = line.substr(1, line.find(']') - 1);
            continue;
        }
        const size_t equals = line.find('=');
        if (equals != std::string::npos)
            meaning[section + "." + line.substr(0, equals)] = line.substr(equals + 1);
    }
    // The section's own gateway key wins, then the first address line with
    // a gateway (the map holds "address1" to "address9" in order).
    for (auto& [key, value] : meaning) {
        const size_t dot = key.find('.');
        const size_t comma = value.find(',');
        if (key.compare(dot + 1, 7, "address") != 0 || comma == std::string::npos)
            continue;
        meaning.emplace(key.substr(0, dot) + ".gateway", value.substr(comma + 1));
        value.erase(comma);
    }
    return meaning;
}
