// Included first into the fuzz build's copy of the command runner: its
// run_Command becomes a weak definition, so that command_record.cpp's
// takes its place while set_Command and the other entry points stay the
// runner's own.
#pragma once

#include "extra_command_handling.h"

#pragma weak run_Command
