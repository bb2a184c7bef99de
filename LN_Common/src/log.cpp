// Logging state: the four level switches and the two streams. The switches
// are volatile and read without a lock at every line; they and the streams
// are set at load and changed only through the setters.
#include "log.h"

#include <cstdlib>
#include <cstring>

namespace {

FILE* log_file = nullptr;
FILE* log_stdout = stdout;
FILE* log_stderr = stderr;

volatile bool info_log_enable = true;
volatile bool warn_log_enable = true;
volatile bool error_log_enable = true;
volatile bool debug_log_enable = false;

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

void init_Log_Output() {
    // Only exactly "1" turns DEBUG on; nothing here ever turns it off.
    const char* debug = getenv("DEBUG");
    if (debug != nullptr && strcmp(debug, "1") == 0)
        debug_log_enable = true;

    setvbuf(stdout, nullptr, _IOLBF, 0);
    setvbuf(stderr, nullptr, _IOLBF, 0);
    log_stdout = stdout;
    log_stderr = stderr;
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
    return 0;
}
