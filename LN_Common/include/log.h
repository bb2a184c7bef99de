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
#include <string>

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

// True when `fd` is the stream that `journal_stream` (the "device:inode" text
// systemd puts in JOURNAL_STREAM) names: then the journal reads the stream
// and takes a leading "<N>" as the line's syslog priority.
bool is_Journal_Stream(int fd, const char* journal_stream);
// Whether the INFO/DEBUG stream and the ERROR stream are the journal: such
// lines start with their priority and carry no colour codes. Decided when
// the streams are set (at load and by set_Log_Output_File).
bool get_stdout_Journal();
bool get_stderr_Journal();

// `text` for a log line, cut to `max_length` bytes: printable ASCII as it
// is, every other byte as \xNN, so that text from outside (the BMC, a
// command's output) cannot put a control sequence or a line break into the
// log.
std::string get_Log_Escaped(const char* text, size_t max_length = 256);

#define LOG_ESC "\033"

// One line on `stream`, one formatted print: when the stream is the journal
// the line starts with `journal_prefix` (its syslog priority and level) and
// carries no colour, else `console_prefix` and `console_suffix` (the colour
// codes) stand around it. Both forms are literals, so the arguments are
// checked against either.
#define LOG_LINE(stream, journal, journal_prefix, console_prefix, console_suffix, format, ...) \
    fprintf(stream,                                                                            \
            (journal) ? journal_prefix "\t[%s] %s: " format "\n"                                \
                      : console_prefix "\t[%s] %s: " format console_suffix "\n",               \
            __log_tag, __func__, ##__VA_ARGS__)

#define LOG_INFO(format, ...)                                                                \
    do {                                                                                     \
        if (get_Info_Log_Status())                                                           \
            LOG_LINE(get_stdout(), get_stdout_Journal(), "<6>[INFO]", "[INFO]", "", format,  \
                     ##__VA_ARGS__);                                                         \
    } while (0)

#define LOG_WARN(format, ...)                                                                \
    do {                                                                                     \
        if (get_Warn_Log_Status())                                                           \
            LOG_LINE(get_stderr(), get_stderr_Journal(), "<4>[WARN]", LOG_ESC "[33m[WARN]",  \
                     LOG_ESC "[0m", format, ##__VA_ARGS__);                                  \
    } while (0)

#define LOG_ERROR(format, ...)                                                               \
    do {                                                                                     \
        if (get_Error_Log_Status())                                                          \
            LOG_LINE(get_stderr(), get_stderr_Journal(), "<3>[ERROR]", LOG_ESC "[31m[ERROR]", \
                     LOG_ESC "[0m", format, ##__VA_ARGS__);                                  \
    } while (0)

#define LOG_DEBUG(format, ...)                                                               \
    do {                                                                                     \
        if (get_Debug_Log_Status())                                                          \
            LOG_LINE(get_stdout(), get_stdout_Journal(), "<7>[DEBUG]", LOG_ESC "[32m[DEBUG]", \
                     LOG_ESC "[0m", format, ##__VA_ARGS__);                                  \
    } while (0)

// Holds back an ERROR that comes again on every pass with the same text: the
// first occurrence is written as it is, further ones are counted and written
// at most once a minute as one line with the count, and when the condition
// goes away one line says so. One limiter per call site, used by one thread.
class Log_Repeat_Limiter {
public:
    enum Action : uint8_t { WRITE_FIRST, HOLD, WRITE_SUMMARY };
    static constexpr int64_t summary_interval_ms = 60000;

    // One occurrence of `text` at `now_ms` (a monotonic clock). A text other
    // than the current one starts afresh. For WRITE_SUMMARY `*repeats` is
    // the number held back since the last line.
    Action note(const char* text, int64_t now_ms, unsigned* repeats);
    // The condition is gone. True, with the number of repeats after the
    // first line in `*repeats`, when it repeated at all: a single failure
    // needs no all-clear line. get_Text() keeps the text for that line.
    bool clear(unsigned* repeats);
    const std::string& get_Text() const { return text; }

private:
    std::string text;
    bool active = false;
    unsigned total_repeats = 0;
    unsigned held = 0;
    int64_t last_line_ms = 0;
};

int64_t get_Log_Monotonic_ms();

// LOG_ERROR through `limiter`: the first line keeps its text exactly; a new
// text first clears the old one (LOG_ERROR_CLEARED, below).
#define LOG_ERROR_LIMITED(limiter, format, ...)                                               \
    do {                                                                                      \
        if (get_Error_Log_Status()) {                                                         \
            char limited_text_[256];                                                          \
            snprintf(limited_text_, sizeof(limited_text_), format, ##__VA_ARGS__);            \
            if ((limiter).get_Text() != limited_text_)                                        \
                LOG_ERROR_CLEARED(limiter);                                                   \
            unsigned limited_repeats_ = 0;                                                    \
            switch ((limiter).note(limited_text_, get_Log_Monotonic_ms(), &limited_repeats_)) { \
            case Log_Repeat_Limiter::WRITE_FIRST:                                             \
                LOG_ERROR("%s", limited_text_);                                               \
                break;                                                                        \
            case Log_Repeat_Limiter::WRITE_SUMMARY:                                           \
                LOG_ERROR("%s (repeated %u times)", limited_text_, limited_repeats_);         \
                break;                                                                        \
            default:                                                                          \
                break;                                                                        \
            }                                                                                 \
        }                                                                                     \
    } while (0)

// The condition behind `limiter` is gone: one INFO line when its ERROR was
// written, nothing otherwise (cheap enough for every pass).
#define LOG_ERROR_CLEARED(limiter)                                                            \
    do {                                                                                      \
        unsigned cleared_repeats_ = 0;                                                        \
        if ((limiter).clear(&cleared_repeats_))                                               \
            LOG_INFO("%s: cleared after %u repeats", (limiter).get_Text().c_str(),            \
                     cleared_repeats_);                                                       \
    } while (0)
