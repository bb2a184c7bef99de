// In-place editing of key/value text files.
//
// A change reads the whole file, builds the whole new content in memory, and
// only then writes it over the file through the same descriptor, truncates
// it to the new length and flushes it to disk: the file keeps its inode,
// owner and mode, and a failed write is reported instead of passed over.
#include "config_file_handling.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

class File {
public:
    File(const char* path, const char* mode) : file(fopen(path, mode)) {}
    ~File() {
        if (file != nullptr)
            fclose(file);
    }
    File(const File&) = delete;
    File& operator=(const File&) = delete;
    FILE* get() const { return file; }

private:
    FILE* file;
};

bool read_All(FILE* file, std::string* content) {
    char block[1024];
    size_t count;
    while ((count = fread(block, 1, sizeof(block), file)) > 0)
        content->append(block, count);
    return ferror(file) == 0;
}

// Writes `content` over the file from its start, cuts it to that length and
// flushes it to disk. False when any step fails.
bool write_Over(FILE* file, const std::string& content) {
    if (fseek(file, 0, SEEK_SET) != 0)
        return false;
    if (fwrite(content.data(), 1, content.size(), file) != content.size())
        return false;
    if (fflush(file) != 0)
        return false;
    int fd = fileno(file);
    if (ftruncate(fd, static_cast<off_t>(content.size())) != 0)
        return false;
    return fsync(fd) == 0;
}

// Replaces the file's `old_content` by `content`. When that fails part-way
// (disk full, file size limit) the old content, which fitted before, is put
// back as well as it can be, and the failure is reported.
bool write_Back(FILE* file, const std::string& old_content, const std::string& content) {
    if (write_Over(file, content))
        return true;
    clearerr(file);
    write_Over(file, old_content);
    return false;
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

struct Key {
    std::string search_text; // the key followed by its separator
    const char* ignore_str;  // lines containing it are never key lines; null or empty: none

    Key(const char* name, char token, const char* ignore)
        : search_text(std::string(name) + token), ignore_str(ignore) {}

    // Position of the key in `line`, or npos when the line does not hold it
    // (no search text, or the skip text is present).
    size_t find(const std::string& line) const {
        if (ignore_str != nullptr && ignore_str[0] != '\0' &&
            line.find(ignore_str) != std::string::npos)
            return std::string::npos;
        return line.find(search_text);
    }
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

} // namespace

uint8_t Config_File::get_Data(const char* file_name, const char* name, char* buffer,
                              unsigned int buffer_length, char token, const char* ignore_str,
                              bool ignore_comment_flag) {
    if (access(file_name, R_OK | W_OK) != 0)
        return 1;
    if (buffer == nullptr)
        return 2;
    File file(file_name, "r");
    if (file.get() == nullptr)
        return 3;
    std::string content;
    if (!read_All(file.get(), &content))
        return 3;

    const Key key(name, token, ignore_str);
    const size_t name_length = strlen(name);
    bool found = false;
    std::string value;
    for_Each_Line(content, [&](const Line& line) {
        if (found)
            return;
        size_t position = key.find(line.text);
        if (position == std::string::npos)
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
                              const char* ignore_str) {
    File file(file_name, "r+");
    if (file.get() == nullptr)
        return 2;
    std::string content;
    if (!read_All(file.get(), &content))
        return 2;

    const Key key(name, token, ignore_str);
    const std::string setting = get_Written_Form(name, token, data);
    bool found = false;
    std::string result;
    result.reserve(content.size() + setting.size() + 1);
    for_Each_Line(content, [&](const Line& line) {
        size_t position = key.find(line.text);
        if (position != std::string::npos && !is_Commented_Out(line.text, position)) {
            result.append(line.text, 0, position);
            result += setting;
            result += '\n';
            found = true;
            return;
        }
        result += line.text;
        if (line.has_newline)
            result += '\n';
    });
    if (!found) {
        result += '\n';
        result += setting;
    }

    if (!write_Back(file.get(), content, result))
        return 1;
    return found ? 0 : 2;
}

uint8_t Config_File::set_Data_Comment(const char* file_name, const char* name, bool set_comment,
                                      char token, const char* ignore_str) {
    File file(file_name, "r+");
    if (file.get() == nullptr)
        return 1;
    std::string content;
    if (!read_All(file.get(), &content))
        return 1;

    const Key key(name, token, ignore_str);
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

    if (result != content && !write_Back(file.get(), content, result))
        return 2;
    return found ? 0 : 1;
}
