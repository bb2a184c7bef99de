// Reading the call record that record_call.sh writes.
#include "testkit/call_record.h"

#include <cstdlib>
#include <sstream>

namespace {

// The bracketed argument that starts at line[at] (its '['); `at` ends past
// its closing ']'. False when the brackets do not close.
bool parse_Argument(const std::string& line, size_t& at, std::string* argument) {
    for (++at; at < line.size(); ++at) {
        char c = line[at];
        if (c == ']') {
            ++at;
            return true;
        }
        if (c == '\\' && at + 1 < line.size()) {
            c = line[++at];
            argument->push_back(c == 'n' ? '\n' : c);
        } else {
            argument->push_back(c);
        }
    }
    return false;
}

// The status of " exit N" (0 for nothing); false for anything else.
bool parse_Status(const std::string& rest, int* status) {
    const std::string exit_word = " exit ";
    if (rest.empty())
        return true;
    if (rest.compare(0, exit_word.size(), exit_word) != 0 || rest.size() == exit_word.size())
        return false;
    const char* digits = rest.c_str() + exit_word.size();
    char* end = nullptr;
    long value = strtol(digits, &end, 10);
    if (*end != '\0' || value < 0 || value > 255)
        return false;
    *status = static_cast<int>(value);
    return true;
}

bool parse_Call(const std::string& line, Recorded_Call* call) {
    size_t at = line.find_first_of("[ ");
    if (at == 0 || line.empty())
        return false;
    call->program = line.substr(0, at);
    while (at < line.size() && line[at] == '[') {
        call->args.emplace_back();
        if (!parse_Argument(line, at, &call->args.back()))
            return false;
    }
    call->line = line;
    return parse_Status(at < line.size() ? line.substr(at) : "", &call->status);
}

} // namespace

std::vector<Recorded_Call> parse_Calls(const std::string& text) {
    std::vector<Recorded_Call> calls;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        Recorded_Call call;
        if (parse_Call(line, &call))
            calls.push_back(call);
    }
    return calls;
}

std::string calls_Of(const std::string& text, const std::string& program) {
    std::string lines;
    for (const Recorded_Call& call : parse_Calls(text)) {
        if (call.program == program)
            lines += call.line + "\n";
    }
    return lines;
}

const char* call_Recorder_Path() {
    return PEC_CALL_RECORDER;
}
