// Reading the record of the stand-in programs' calls. The lines come from
// standins/record.sh alone, so this reads exactly what it writes: strings
// with \\, \", \n, \t and \r escaped, and nothing nested.

#include "standin_calls.h"

#include <cstdlib>
#include <sstream>

namespace pec_bench {

namespace {

// The JSON string that starts at line[i] (its opening quote); i ends past the
// closing quote.
std::string parse_string(const std::string& line, size_t& i) {
    std::string out;
    for (++i; i < line.size() && line[i] != '"'; ++i) {
        if (line[i] == '\\' && i + 1 < line.size()) {
            ++i;
            char c = line[i];
            out.push_back(c == 'n' ? '\n' : c == 't' ? '\t' : c == 'r' ? '\r' : c);
        } else {
            out.push_back(line[i]);
        }
    }
    ++i;
    return out;
}

// The strings of the array whose '[' is just before line[i].
std::vector<std::string> parse_strings(const std::string& line, size_t& i) {
    std::vector<std::string> out;
    while (i < line.size() && line[i] != ']') {
        if (line[i] == '"') {
            out.push_back(parse_string(line, i));
        } else {
            ++i;
        }
    }
    return out;
}

bool parse_call(const std::string& line, StandinCall* c) {
    const std::string program = "\"program\":";
    const std::string args = "\"args\":[";
    const std::string status = "\"status\":";
    size_t i = line.find(program + "\"");
    if (i == std::string::npos) {
        return false;
    }
    i += program.size();
    c->line = line;
    c->program = parse_string(line, i);
    size_t a = line.find(args, i);
    if (a != std::string::npos) {
        i = a + args.size();
        c->args = parse_strings(line, i);
    }
    size_t st = line.find(status, i);
    if (st != std::string::npos) {
        c->status = atoi(line.c_str() + st + status.size());
    }
    return true;
}

} // namespace

std::vector<StandinCall> parse_standin_calls(const std::string& text) {
    std::vector<StandinCall> calls;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        StandinCall c;
        if (parse_call(line, &c)) {
            calls.push_back(c);
        }
    }
    return calls;
}

} // namespace pec_bench
