// The service manager's notification protocol, sent directly: one datagram
// of "KEY=value" lines to the AF_UNIX socket whose path NOTIFY_SOCKET holds
// (a leading '@' names an abstract socket), as systemd documents for
// sd_notify. That is the whole of what the daemon needs from libsystemd; a
// second library, with its own release cycle on every image the card runs,
// is not worth one sendto.
#include "service_notify.h"

#include "os_wrappers.h"

#include <sys/socket.h>
#include <sys/un.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// What NOTIFY_SOCKET held at start; empty when it was unset.
std::string notify_socket;

} // namespace

void init_Service_Notify() {
    const char* name = getenv("NOTIFY_SOCKET");
    notify_socket = name != nullptr ? name : "";
    unsetenv("NOTIFY_SOCKET");
}

bool set_Service_Notify(const char* state) {
    const char* path = notify_socket.c_str();
    if (state == nullptr)
        return false;
    size_t path_length = strlen(path);
    struct sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    if ((path[0] != '/' && path[0] != '@') || path_length < 2 ||
        path_length >= sizeof(address.sun_path))
        return false;
    memcpy(address.sun_path, path, path_length);
    if (path[0] == '@')
        address.sun_path[0] = '\0';

    Unique_Fd socket_fd(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!socket_fd.valid())
        return false;
    auto address_length = static_cast<socklen_t>(offsetof(struct sockaddr_un, sun_path) +
                                                 path_length + (path[0] == '/' ? 1 : 0));
    size_t length = strlen(state);
    return sendto(socket_fd.get(), state, length, MSG_NOSIGNAL,
                  reinterpret_cast<const struct sockaddr*>(&address),
                  address_length) == static_cast<ssize_t>(length);
}
