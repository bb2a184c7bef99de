// The service manager's end of NOTIFY_SOCKET, for the bench and the tests:
// where the daemon's READY, STATUS and WATCHDOG datagrams arrive.
#pragma once

#include "os_wrappers.h"

#include <string>

// A non-blocking datagram socket bound to `name` (a path, or an abstract
// name when it starts with '@'); invalid when it cannot be made.
Unique_Fd bind_Notify_Socket(const std::string& name);

// The next datagram waiting on `socket`; "" when none is.
std::string receive_Notification(const Unique_Fd& socket);
