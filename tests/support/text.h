// Looking at texts in assertions: counting a part, cutting into lines,
// reading log lines by level and text.
#pragma once

#include <string>
#include <vector>

#include "testkit/files.h" // lines_Of

// How often `part` occurs in `text`, without overlaps (0 for an empty part).
size_t count_Of(const std::string& text, const std::string& part);

bool contains(const std::string& text, const std::string& part);

// A log line as the tests match it, line feed included: its level ("ERROR",
// "WARN", "INFO", "DEBUG") and its text ("[Tag] function: message").
std::string log_Line(const std::string& level, const std::string& text);
// `log` with the colour codes of the terminal form taken out, so that each
// of its lines reads as log_Line gives it.
std::string without_Colours(const std::string& log);
