// The commands of the request-handler targets: what each command line
// prints, and which lines ran. command_record.cpp, for the fast target,
// records each line instead of starting it: fuzz/CMakeLists.txt links its
// run_Command in place of the runner's (made weak for that build only), so
// set_Command and everything above it run unchanged. command_stand_ins.cpp,
// for the slow one, lets the runner start them and has stand-ins record
// them.
#pragma once

#include <string>
#include <vector>

// Forgets the recorded command lines; the answers stay.
void clear_Recorded_Commands();

// From now on `cmd` prints `output` (one line, with its line feed) when run,
// in place of any answer set before. A command without an answer prints
// nothing.
void set_Command_Answer(const std::string& cmd, const std::string& output);

// The command lines run since the last clear_Recorded_Commands, in order.
const std::vector<std::string>& get_Recorded_Commands();
