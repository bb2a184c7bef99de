// In-place editing of one key of a line-oriented key/value text file: read
// its value, set it (adding the key when missing), comment its lines out or
// back in with "#". The file keeps its inode, owner and mode.
#pragma once

#include <cstdint>

class Config_File {
public:
    Config_File() = delete;

    // Copies the value of the first line holding `name` followed by `token`
    // into `buffer`. 0 found; 1 the file is not readable and writable;
    // 2 `buffer` is null; 3 the file cannot be opened or holds no key line
    // (`buffer` untouched). Commented-out lines count only when
    // `ignore_comment_flag` is true; lines containing `ignore_str` never do.
    static uint8_t get_Data(const char* file_name, const char* name, char* buffer,
                            unsigned int buffer_length, char token, const char* ignore_str,
                            bool ignore_comment_flag);

    // Rewrites every key line to hold `data`, or adds the key at the end.
    // 0 a key line was rewritten; 2 the file cannot be opened (unchanged) or
    // the key was added; 1 the new content could not be written back whole.
    static uint8_t set_Data(const char* file_name, const char* name, const char* data, char token,
                            const char* ignore_str);

    // Comments every key line out (`set_comment`) or back in.
    // 0 a key line was found; 1 the file cannot be opened or holds no key
    // line; 2 the new content could not be written back whole.
    static uint8_t set_Data_Comment(const char* file_name, const char* name, bool set_comment,
                                    char token, const char* ignore_str);
};
