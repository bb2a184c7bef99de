// Editing one key of a key/value text file.
//
// A change reads the whole file, builds the whole new content in memory, and
// only then hands it to replace_File(), which puts it in the file's place in
// one step. Without a scope a key line is any line that holds the key; with a
// scope (an ifupdown stanza, say) only lines of the sections in scope that
// begin with the key, so other sections and commands that merely mention the
// key stay as they are.
#include "config_file_handling.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "file_replace.h"
#include "os_wrappers.h"

namespace {

bool read_All(FILE* file, std::string* content) {
    char block[1024];
    size_t count;
    while ((count = fread(block, 1, sizeof(block), file)) > 0)
        content->append(block, count);
    return ferror(file) == 0;
}

// Reads the whole file, opened with `mode` ("r+" checks that it may be
// written too). False when it cannot be opened or read.
bool read_File(const char* file_name, const char* mode, std::string* content) {
    File_Ptr file(fopen(file_name, mode));
    return file && read_All(file.get(), content);
}

// Puts `content` in the file's place; the file keeps owner, group and mode.
bool write_File(const char* file_name, const std::string& content) {
    return replace_File(file_name, content, 0600, File_Mode_Rule::KEEP) == 0;
}

// One line of a file, without its newline.
struct Line {
    std::string text;
    bool has_newline;
};

// Calls `handle(line)` for every line of `content`.
template <typename Handler>
void for_Each_Line(const std::string& content, Handler handle) {
    size_t start = 0;
    while (start < content.size()) {
        size_t end = content.find('\n', start);
        if (end == std::string::npos) {
            handle(Line{content.substr(start), false});
            return;
        }
        handle(Line{content.substr(start, end - start), true});
        start = end + 1;
    }
}

// Length of the line's indentation (spaces and tabs).
size_t get_Indentation(const std::string& line) {
    size_t start = line.find_first_not_of(" \t");
    return start == std::string::npos ? line.size() : start;
}

// Finds the key lines of a file. Lines must be given in file order: with a
// scope, whether a line lies in a section in scope depends on those before it.
class Key_Finder {
public:
    Key_Finder(const char* name, char token, const char* ignore, const Config_File::Scope* limits)
        : search_text(std::string(name) + token), ignore_str(ignore), scope(limits) {}

    // Position of the key in `line`, or npos when it is not a key line.
    size_t find(const std::string& line) {
        if (scope != nullptr) {
            track_Section(line);
            if (!in_section)
                return std::string::npos;
        }
        if (ignore_str != nullptr && ignore_str[0] != '\0' &&
            line.find(ignore_str) != std::string::npos)
            return std::string::npos;
        if (scope == nullptr)
            return line.find(search_text);
        // Only at the start of the line, after indentation and an optional "#".
        size_t start = get_Indentation(line);
        if (start < line.size() && line[start] == '#')
            start++;
        return line.compare(start, search_text.size(), search_text) == 0 ? start
                                                                         : std::string::npos;
    }

    // Whether the last line given lies in the first section in scope; always
    // true without a scope.
    bool in_First_Section() const { return scope == nullptr || (in_section && sections == 1); }
    // Whether the last line given opened a section in scope.
    bool opened_Section() const { return opened; }
    bool has_Section() const { return scope == nullptr || sections > 0; }

private:
    bool opens_Other_Section(const std::string& word) const {
        for (const char* const* opener = scope->section_openers; *opener != nullptr; opener++) {
            size_t length = strlen(*opener);
            bool prefix = length > 0 && (*opener)[length - 1] == '-';
            if (prefix ? word.compare(0, length, *opener) == 0 : word == *opener)
                return true;
        }
        return false;
    }

    void track_Section(const std::string& line) {
        size_t start = get_Indentation(line);
        opened = line.compare(start, strlen(scope->section_start), scope->section_start) == 0;
        if (opened) {
            in_section = true;
            sections++;
            return;
        }
        size_t end = line.find_first_of(" \t", start);
        if (opens_Other_Section(line.substr(start, end == std::string::npos ? end : end - start)))
            in_section = false;
    }

    const std::string search_text; // the key followed by its separator
    const char* ignore_str;        // lines containing it are never key lines
    const Config_File::Scope* scope;
    bool in_section = false;
    bool opened = false;
    unsigned int sections = 0;
};

bool is_Commented_Out(const std::string& line, size_t key_position) {
    size_t hash = line.find('#');
    return hash != std::string::npos && hash < key_position;
}

std::string get_Written_Form(const char* name, char token, const char* data) {
    std::string text(name);
    if (token != ' ')
        text += token;
    text += ' ';
    text += data;
    return text;
}

// Where a missing key goes in a scoped file: after the last line of the first
// section in scope that is neither blank nor a comment at the line's start,
// indented like that line (unless it is the section's opening line).
struct Insertion_Point {
    size_t offset = std::string::npos; // in the new content
    bool after_newline = true;
    std::string indentation;

    void note(const Line& line, bool opening, size_t offset_after) {
        if (line.text.find_first_not_of(" \t") == std::string::npos || line.text[0] == '#')
            return;
        offset = offset_after;
        after_newline = line.has_newline;
        indentation = opening ? "" : line.text.substr(0, get_Indentation(line.text));
    }

    void insert(std::string* content, const std::string& setting) const {
        if (after_newline)
            content->insert(offset, indentation + setting + "\n");
        else
            content->insert(offset, "\n" + indentation + setting);
    }
};

} // namespace

uint8_t Config_File::get_Data(const char* file_name, const char* name, char* buffer,
                              unsigned int buffer_length, char token, const char* ignore_str,
                              bool ignore_comment_flag, const Scope* scope) {
    if (access(file_name, R_OK | W_OK) != 0)
        return 1;
    if (buffer == nullptr)
        return 2;
    std::string content;
    if (!read_File(file_name, "r", &content))
        return 3;

    Key_Finder key(name, token, ignore_str, scope);
    const size_t name_length = strlen(name);
    bool found = false;
    std::string value;
    for_Each_Line(content, [&](const Line& line) {
        size_t position = key.find(line.text);
        if (found || position == std::string::npos)
            return;
        if (!ignore_comment_flag && is_Commented_Out(line.text, position))
            return;
        size_t start =
            line.text.find_first_not_of(std::string(" \t") + token, position + name_length);
        value = start == std::string::npos ? std::string() : line.text.substr(start);
        value.resize(strcspn(value.c_str(), "\r\n"));
        found = true;
    });
    if (!found)
        return 3;

    if (buffer_length > 0) {
        size_t length = value.size() < buffer_length ? value.size() : buffer_length - 1;
        memcpy(buffer, value.data(), length);
        buffer[length] = '\0';
    }
    return 0;
}

uint8_t Config_File::set_Data(const char* file_name, const char* name, const char* data, char token,
                              const char* ignore_str, const Scope* scope) {
    std::string content;
    if (!read_File(file_name, "r+", &content))
        return 2;

    Key_Finder key(name, token, ignore_str, scope);
    const std::string setting = get_Written_Form(name, token, data);
    bool found = false;
    Insertion_Point insertion;
    std::string result;
    result.reserve(content.size() + setting.size() + 1);
    for_Each_Line(content, [&](const Line& line) {
        size_t position = key.find(line.text);
        if (position != std::string::npos && !is_Commented_Out(line.text, position)) {
            result.append(line.text, 0, position);
            result += setting;
            result += '\n';
            found = true;
        } else {
            result += line.text;
            if (line.has_newline)
                result += '\n';
        }
        if (scope != nullptr && key.in_First_Section())
            insertion.note(line, key.opened_Section(), result.size());
    });
    if (!found) {
        if (!key.has_Section())
            return 3;
        if (scope == nullptr) {
            result += '\n';
            result += setting;
        } else {
            insertion.insert(&result, setting);
        }
    }

    if (!write_File(file_name, result))
        return 1;
    return found ? 0 : 2;
}

uint8_t Config_File::set_Data_Comment(const char* file_name, const char* name, bool set_comment,
                                      char token, const char* ignore_str, const Scope* scope) {
    std::string content;
    if (!read_File(file_name, "r+", &content))
        return 1;

    Key_Finder key(name, token, ignore_str, scope);
    bool found = false;
    std::string result;
    result.reserve(content.size() + 16);
    for_Each_Line(content, [&](const Line& line) {
        std::string text = line.text;
        size_t position = key.find(text);
        if (position != std::string::npos) {
            found = true;
            bool commented = position > 0 && text[position - 1] == '#';
            if (set_comment && !commented)
                text.insert(position, 1, '#');
            else if (!set_comment && commented)
                text.erase(position - 1, 1);
        }
        result += text;
        if (line.has_newline)
            result += '\n';
    });

    if (result != content && !write_File(file_name, result))
        return 2;
    return found ? 0 : 1;
}
