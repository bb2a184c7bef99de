// A run_Command that starts nothing: see command_record.h.
#include "command_record.h"

#include <algorithm>
#include <cstring>
#include <map>

#include "extra_command_handling.h"

namespace {

std::vector<std::string> commands;
std::map<std::string, std::string> answers;

} // namespace

void clear_Recorded_Commands() {
    commands.clear();
}

void set_Command_Answer(const std::string& cmd, const std::string& output) {
    answers[cmd] = output;
}

const std::vector<std::string>& get_Recorded_Commands() {
    return commands;
}

// As the real runner leaves it for a one-line output: the line and its line
// feed in `result`, cut to `length` - 1 characters; `result` untouched when
// the command prints nothing.
int8_t run_Command(const char* cmd, char* result, int length, Command_Use, int64_t,
                   std::string* output) {
    commands.emplace_back(cmd);
    auto answer = answers.find(cmd);
    if (answer == answers.end())
        return 0;
    const std::string& text = answer->second;
    if (output != nullptr)
        *output = text;
    if (result != nullptr && length > 0 && !text.empty()) {
        size_t count = std::min(text.size(), static_cast<size_t>(length) - 1);
        memcpy(result, text.data(), count);
        result[count] = '\0';
    }
    return 0;
}
