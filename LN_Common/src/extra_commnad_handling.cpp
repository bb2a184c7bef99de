// Running shell command lines and capturing the last line of their output.
#include "extra_command_handling.h"

#include "os_wrappers.h"

#include <cstdio>
#include <cstring>

namespace {

const char* const systemd_command_verbs[] = {"start",  "stop",    "restart",
                                             "enable", "disable", "status"};

} // namespace

// Every fgets starts again at the start of `result`, so when the output ends
// it holds the last line (or the final piece of an over-long last line).
int8_t set_Command(const char* cmd, char* result, int length) {
    Pipe_Ptr pipe(popen(cmd, "r"));
    if (!pipe) {
        perror("set_Command");
        return -1;
    }
    if (result != nullptr && length > 1) {
        while (fgets(result, length, pipe.get()) != nullptr) {
        }
    } else {
        // Output nobody keeps is still drained: closing the pipe early would
        // kill a command that prints late with SIGPIPE. A one-byte buffer
        // can hold only the terminator (fgets would never get past it).
        char scratch[128];
        bool printed = false;
        while (fgets(scratch, sizeof(scratch), pipe.get()) != nullptr)
            printed = true;
        if (printed && result != nullptr && length == 1)
            result[0] = '\0';
    }
    return 0;
}

void trim_Command_Output(char* text) {
    text[strcspn(text, "\r")] = '\0';
    text[strcspn(text, "\n")] = '\0';
}

int8_t set_Systemd_Service(const char* service_name, Systemd_Command cmd) {
    if (cmd > STATUS)
        return -1;
    char command[256];
    snprintf(command, sizeof(command), "systemctl %s %s", systemd_command_verbs[cmd], service_name);
    return set_Command(command, nullptr, 0);
}

bool get_Systemd_Service_Status(const char* service_name) {
    char command[256];
    snprintf(command, sizeof(command), "systemctl is-active %s", service_name);
    char answer[32] = {};
    set_Command(command, answer, sizeof(answer));
    return strncmp(answer, "active", 6) == 0;
}
