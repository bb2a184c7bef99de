// Logging: one line format for the whole daemon, four level switches and the
// two streams every line goes to.
//
// A module defines its tag once, as `static const char* const __log_tag`,
// and writes lines with the LOG_* macros. Each macro tests its level's switch
// first and evaluates nothing when it is off; a line is one formatted print,
// so lines from the main thread and the link thread never interleave.
#pragma once

#include <cstdint>
#include <cstdio>

bool get_Info_Log_Status();
bool get_Warn_Log_Status();
bool get_Error_Log_Status();
bool get_Debug_Log_Status();

void set_Info_Log(bool enable);
void set_Warn_Log(bool enable);
void set_Error_Log(bool enable);
void set_Debug_Log(bool enable);

// Stream for INFO and DEBUG lines.
FILE* get_stdout();
// Stream for WARN and ERROR lines.
FILE* get_stderr();

// Reads DEBUG, line-buffers the console and points both streams at it.
// Runs once at program load; set_Log_Output_File uses it too.
void init_Log_Output();

// Sends every level's lines into the file at `path`, opened with `mode`.
// 0 when it opened, 1 when it did not (the streams stay where they were).
uint8_t set_Log_Output_File(const char* path, const char* mode);

#define LOG_ESC "\033"

#define LOG_INFO(format, ...)                                                           \
    do {                                                                                \
        if (get_Info_Log_Status())                                                      \
            fprintf(get_stdout(), "[INFO]\t[%s] %s: " format "\n", __log_tag, __func__, \
                    ##__VA_ARGS__);                                                     \
    } while (0)

#define LOG_WARN(format, ...)                                                             \
    do {                                                                                  \
        if (get_Warn_Log_Status())                                                        \
            fprintf(get_stderr(), LOG_ESC "[33m[WARN]\t[%s] %s: " format LOG_ESC "[0m\n", \
                    __log_tag, __func__, ##__VA_ARGS__);                                  \
    } while (0)

#define LOG_ERROR(format, ...)                                                             \
    do {                                                                                   \
        if (get_Error_Log_Status())                                                        \
            fprintf(get_stderr(), LOG_ESC "[31m[ERROR]\t[%s] %s: " format LOG_ESC "[0m\n", \
                    __log_tag, __func__, ##__VA_ARGS__);                                   \
    } while (0)

#define LOG_DEBUG(format, ...)                                                             \
    do {                                                                                   \
        if (get_Debug_Log_Status())                                                        \
            fprintf(get_stdout(), LOG_ESC "[32m[DEBUG]\t[%s] %s: " format LOG_ESC "[0m\n", \
                    __log_tag, __func__, ##__VA_ARGS__);                                   \
    } while (0)
