#include "service_notify.h"

#include "os_wrappers.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// A datagram socket bound to `name` (a path, or abstract when it starts
// with '@'), as the service manager listens.
void bind_Listener(const std::string& name, Unique_Fd* fd) {
    fd->reset(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    struct sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    memcpy(address.sun_path, name.data(), name.size());
    if (name[0] == '@')
        address.sun_path[0] = '\0';
    auto length = static_cast<socklen_t>(offsetof(struct sockaddr_un, sun_path) + name.size());
    EXPECT_EQ(bind(fd->get(), reinterpret_cast<struct sockaddr*>(&address), length), 0) << name;
}

std::string receive(const Unique_Fd& fd) {
    char buffer[256] = {};
    ssize_t count = recv(fd.get(), buffer, sizeof(buffer), MSG_DONTWAIT);
    return count > 0 ? std::string(buffer, static_cast<size_t>(count)) : "";
}

} // namespace

// Path and abstract sockets get the message as one datagram; without
// NOTIFY_SOCKET, or with a name that is neither, nothing is sent. The
// variable is the daemon's alone: the commands it runs do not see it.
TEST(ServiceNotify, SendsToTheNamedSocketOnly) {
    const std::string path = testing::TempDir() + "notify_" + std::to_string(getpid());
    const std::string abstract = "@pec-notify-test-" + std::to_string(getpid());
    for (const std::string& name : {path, abstract}) {
        unlink(path.c_str());
        Unique_Fd listener;
        bind_Listener(name, &listener);
        setenv("NOTIFY_SOCKET", name.c_str(), 1);
        init_Service_Notify();
        EXPECT_EQ(getenv("NOTIFY_SOCKET"), nullptr);
        EXPECT_TRUE(set_Service_Notify("READY=1\nSTATUS=up")) << name;
        EXPECT_EQ(receive(listener), "READY=1\nSTATUS=up") << name;
    }
    unlink(path.c_str());
    for (const char* name : {"relative/socket", "@", ""}) {
        setenv("NOTIFY_SOCKET", name, 1);
        init_Service_Notify();
        EXPECT_FALSE(set_Service_Notify("WATCHDOG=1")) << name;
    }
    init_Service_Notify(); // unset now
    EXPECT_FALSE(set_Service_Notify("WATCHDOG=1"));
}
