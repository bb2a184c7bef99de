// The host as the fast request-handler target sees it: a command runner
// that records each command line instead of starting it and answers it
// with a fixed output. fuzz/CMakeLists.txt links it in place of the
// runner's run_Command (made weak for that build only), so set_Command and
// everything above it run unchanged.
#pragma once

#include <string>
#include <vector>

// Forgets the recorded command lines and the answers.
void clear_Recorded_Commands();

// From now on `cmd` prints `output` (one line, with its line feed) when run.
// A command without an answer prints nothing.
void set_Command_Answer(const std::string& cmd, const std::string& output);

// The command lines run since the last clear_Recorded_Commands, in order.
const std::vector<std::string>& get_Recorded_Commands();
