// The service manager's end of NOTIFY_SOCKET.
#include "testkit/notify_socket.h"

#include <sys/socket.h>
#include <sys/un.h>

#include <cstddef>
#include <cstring>

Unique_Fd bind_Notify_Socket(const std::string& name) {
    struct sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    if (name.empty() || name.size() >= sizeof(address.sun_path))
        return Unique_Fd();
    memcpy(address.sun_path, name.data(), name.size());
    if (name[0] == '@')
        address.sun_path[0] = '\0';
    auto length = static_cast<socklen_t>(offsetof(struct sockaddr_un, sun_path) + name.size());
    Unique_Fd socket_fd(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (socket_fd.valid() &&
        bind(socket_fd.get(), reinterpret_cast<struct sockaddr*>(&address), length) != 0)
        socket_fd.reset(-1);
    return socket_fd;
}

std::string receive_Notification(const Unique_Fd& socket) {
    char buffer[512];
    ssize_t count = socket.valid() ? recv(socket.get(), buffer, sizeof(buffer), 0) : -1;
    return count > 0 ? std::string(buffer, static_cast<size_t>(count)) : "";
}
