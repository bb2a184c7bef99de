// Shell commands for the tests: run one and take its output, and quote a
// text as one word.
#pragma once

#include <string>

// Runs `command` through the shell and returns its exit status (-1 when it
// could not start or did not end normally). What it printed on standard
// output goes to `*output` when given.
int run_Shell(const std::string& command, std::string* output = nullptr);

// `text` as one single-quoted shell word.
std::string shell_Quote(const std::string& text);
