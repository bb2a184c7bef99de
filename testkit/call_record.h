// The record of the calls of fake and stand-in programs: the unit tests'
// fakes, the network tests' stand-ins and the bench's stand-ins all append
// their calls through record_call.sh, one line a call:
//   program[arg1][arg2] exit N
// (" exit N" only for a status other than 0; "\\", "\[", "\]" and "\n"
// inside the brackets). This is the one reader of those lines.
#pragma once

#include <string>
#include <vector>

struct Recorded_Call {
    std::string program;
    std::vector<std::string> args;
    int status = 0;
    std::string line; // the line as recorded, without its line feed
};

// The calls in `text`, in order; a line that does not read as a call (a
// bracket left open, a status that is no number) is skipped.
std::vector<Recorded_Call> parse_Calls(const std::string& text);

// The recorded lines of `program`'s calls in `text`, each with its line feed.
std::string calls_Of(const std::string& text, const std::string& program);

// The path of record_call.sh, for a fake program to source.
const char* call_Recorder_Path();
