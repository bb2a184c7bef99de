// Telling the service manager how the daemon is: ready, its status line,
// and that it is alive (the watchdog).
#pragma once

// Takes NOTIFY_SOCKET for the daemon and out of the environment, so that
// the commands it runs do not inherit it: the socket is the daemon's line to
// the service manager, and a program that finds the variable speaks on it
// (netplan's generator sends "ERRNO=2"), which systemd refuses and logs for
// every apply. Called once at start, before any thread or command.
void init_Service_Notify();

// Sends `state` ("READY=1", "STATUS=...", "WATCHDOG=1", several separated
// by line feeds) to the socket that NOTIFY_SOCKET named at start. Does
// nothing and returns false when there was none (not started by systemd, or
// not as a notify service) or the message cannot be sent.
bool set_Service_Notify(const char* state);
