// Logging state: the four level switches, the two streams and whether each
// is the journal. The switches are volatile and read without a lock at every
// line; they and the streams are set at load and changed only through the
// setters.
#include "log.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

FILE* log_file = nullptr;
FILE* log_stdout = stdout;
FILE* log_stderr = stderr;

volatile bool info_log_enable = true;
volatile bool warn_log_enable = true;
volatile bool error_log_enable = true;
volatile bool debug_log_enable = false;

// Whether log_stdout / log_stderr are the journal's stream.
volatile bool stdout_journal = false;
volatile bool stderr_journal = false;

bool is_Journal(FILE* stream) {
    return is_Journal_Stream(fileno(stream), getenv("JOURNAL_STREAM"));
}

// Runs before main, so that the first line of any module already sees the
// DEBUG switch and the line-buffered console.
struct Log_Load_Init {
    Log_Load_Init() { init_Log_Output(); }
} log_load_init;

} // namespace

bool get_Info_Log_Status() {
    return info_log_enable;
}
bool get_Warn_Log_Status() {
    return warn_log_enable;
}
bool get_Error_Log_Status() {
    return error_log_enable;
}
bool get_Debug_Log_Status() {
    return debug_log_enable;
}

void set_Info_Log(bool enable) {
    info_log_enable = enable;
}
void set_Warn_Log(bool enable) {
    warn_log_enable = enable;
}
void set_Error_Log(bool enable) {
    error_log_enable = enable;
}
void set_Debug_Log(bool enable) {
    debug_log_enable = enable;
}

FILE* get_stdout() {
    return log_stdout;
}
FILE* get_stderr() {
    return log_stderr;
}
bool get_stdout_Journal() {
    return stdout_journal;
}
bool get_stderr_Journal() {
    return stderr_journal;
}

bool is_Journal_Stream(int fd, const char* journal_stream) {
    if (fd < 0 || journal_stream == nullptr)
        return false;
    uintmax_t device = 0;
    uintmax_t inode = 0;
    int used = 0;
    if (sscanf(journal_stream, "%" SCNuMAX ":%" SCNuMAX "%n", &device, &inode, &used) != 2 ||
        journal_stream[used] != '\0')
        return false;
    struct stat status = {};
    if (fstat(fd, &status) != 0)
        return false;
    return static_cast<uintmax_t>(status.st_dev) == device &&
           static_cast<uintmax_t>(status.st_ino) == inode;
}

std::string get_Log_Escaped(const char* text, size_t max_length) {
    std::string escaped;
    if (text == nullptr)
        return escaped;
    size_t length = strlen(text);
    for (size_t i = 0; i < length && i < max_length; i++) {
        auto byte = static_cast<unsigned char>(text[i]);
        if (byte >= 0x20 && byte < 0x7F) {
            escaped += static_cast<char>(byte);
        } else {
            char code[5];
            snprintf(code, sizeof(code), "\\x%02X", byte);
            escaped += code;
        }
    }
    if (length > max_length)
        escaped += "...";
    return escaped;
}

int64_t get_Log_Monotonic_ms() {
    struct timespec now = {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

Log_Repeat_Limiter::Action Log_Repeat_Limiter::note(const char* line_text, int64_t now_ms,
                                                    unsigned* repeats) {
    if (!active || text != line_text) {
        text = line_text;
        active = true;
        total_repeats = 0;
        held = 0;
        last_line_ms = now_ms;
        return WRITE_FIRST;
    }
    total_repeats++;
    held++;
    if (now_ms - last_line_ms < summary_interval_ms)
        return HOLD;
    *repeats = held;
    held = 0;
    last_line_ms = now_ms;
    return WRITE_SUMMARY;
}

bool Log_Repeat_Limiter::clear(unsigned* repeats) {
    if (!active)
        return false;
    active = false;
    *repeats = total_repeats;
    return total_repeats > 0;
}

void init_Log_Output() {
    // Only exactly "1" turns DEBUG on; nothing here ever turns it off.
    const char* debug = getenv("DEBUG");
    if (debug != nullptr && strcmp(debug, "1") == 0)
        debug_log_enable = true;

    setvbuf(stdout, nullptr, _IOLBF, 0);
    setvbuf(stderr, nullptr, _IOLBF, 0);
    log_stdout = stdout;
    log_stderr = stderr;
    stdout_journal = is_Journal(stdout);
    stderr_journal = is_Journal(stderr);
}

uint8_t set_Log_Output_File(const char* path, const char* mode) {
    if (log_file != nullptr) {
        init_Log_Output();
        fclose(log_file);
        log_file = nullptr;
    }

    log_file = fopen(path, mode);
    if (log_file == nullptr)
        return 1;

    setvbuf(log_file, nullptr, _IOLBF, 0);
    log_stdout = log_file;
    log_stderr = log_file;
    stdout_journal = false;
    stderr_journal = false;
    return 0;
}
