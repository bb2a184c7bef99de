// Editing one key of a line-oriented key/value text file: read its value,
// set it (adding the key when missing), comment its lines out or back in with
// "#". A change replaces the file whole (see file_replace.h): a crash leaves
// the old content or the new, and the file keeps its owner, group and mode.
#pragma once

#include <cstdint>

class Config_File {
public:
    Config_File() = delete;

    // Confines an operation to the sections of a file that open with
    // `section_start`, and to the lines there that begin with the key. Without
    // a scope a key line is any line that holds the key.
    struct Scope {
        // A line that begins with this text (after indentation) opens a section
        // in scope.
        const char* section_start;
        // Null-terminated list of the first words of lines that open any
        // other section; an entry ending in '-' matches every word it begins.
        const char* const* section_openers;
    };

    // Copies the value of the first line holding `name` followed by `token`
    // into `buffer`. 0 found; 1 the file is not readable and writable;
    // 2 `buffer` is null; 3 the file cannot be opened or holds no key line
    // (`buffer` untouched). Commented-out lines count only when
    // `ignore_comment_flag` is true; lines containing `ignore_str` never do.
    static uint8_t get_Data(const char* file_name, const char* name, char* buffer,
                            unsigned int buffer_length, char token, const char* ignore_str,
                            bool ignore_comment_flag, const Scope* scope = nullptr);

    // Rewrites every key line to hold `data`, or adds the key at the end (of
    // the file; with a scope, of the first section in scope).
    // 0 a key line was rewritten; 2 the file cannot be opened (unchanged) or
    // the key was added; 1 the new content could not be written (the file is
    // unchanged); 3 a scope was given and the file has no section in it
    // (unchanged).
    static uint8_t set_Data(const char* file_name, const char* name, const char* data, char token,
                            const char* ignore_str, const Scope* scope = nullptr);

    // Comments every key line out (`set_comment`) or back in.
    // 0 a key line was found; 1 the file cannot be opened or holds no key
    // line; 2 the new content could not be written (the file is unchanged).
    static uint8_t set_Data_Comment(const char* file_name, const char* name, bool set_comment,
                                    char token, const char* ignore_str,
                                    const Scope* scope = nullptr);
};
