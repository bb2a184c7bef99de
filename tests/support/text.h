// Looking at texts in assertions: counting a part, cutting into lines.
#pragma once

#include <string>
#include <vector>

// How often `part` occurs in `text`, without overlaps (0 for an empty part).
size_t count_Of(const std::string& text, const std::string& part);

bool contains(const std::string& text, const std::string& part);

// The lines of `text`, without their line feeds.
std::vector<std::string> lines_Of(const std::string& text);
