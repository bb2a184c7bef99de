// Telling the service manager how the daemon is: ready, its status line,
// and that it is alive (the watchdog).
#pragma once

// Sends `state` ("READY=1", "STATUS=...", "WATCHDOG=1", several separated
// by line feeds) to the socket named in NOTIFY_SOCKET. Does nothing and
// returns false when the variable is unset (not started by systemd, or not
// as a notify service) or the message cannot be sent.
bool set_Service_Notify(const char* state);
