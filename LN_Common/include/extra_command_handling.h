// Running host commands: set_Command runs a shell command line and keeps the
// last line of its output; two small wrappers drive systemctl.
#pragma once

#include <cstdint>

enum Systemd_Command : uint32_t {
    START = 0,
    STOP = 1,
    RESTART = 2,
    ENABLE = 3,
    DISABLE = 4,
    STATUS = 5,
    INVALID = 6,
};

// Runs `cmd` through the shell and waits for it. When `result` is given and
// `length` > 0, `result` ends up holding the last line (or the final piece of
// an over-long last line) that the command printed; it keeps its previous
// contents when the command prints nothing. 0 when the command ran (whatever
// its exit status), -1 when it could not be started.
int8_t set_Command(const char* cmd, char* result, int length);

// Cuts `text` at its first carriage return, then at its first line feed:
// the one clean line that callers of set_Command want.
void trim_Command_Output(char* text);

// "systemctl <verb> <service_name>"; -1 for a verb out of range or when the
// command cannot be started, else 0.
int8_t set_Systemd_Service(const char* service_name, Systemd_Command cmd);

// True when "systemctl is-active <service_name>" answers "active".
bool get_Systemd_Service_Status(const char* service_name);
