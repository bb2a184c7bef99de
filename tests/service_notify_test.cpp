#include "service_notify.h"

#include "testkit/notify_socket.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <string>

// Path and abstract sockets get the message as one datagram; without
// NOTIFY_SOCKET, or with a name that is neither, nothing is sent. The
// variable is the daemon's alone: the commands it runs do not see it.
TEST(ServiceNotify, SendsToTheNamedSocketOnly) {
    const std::string path = testing::TempDir() + "notify_" + std::to_string(getpid());
    const std::string abstract = "@pec-notify-test-" + std::to_string(getpid());
    for (const std::string& name : {path, abstract}) {
        unlink(path.c_str());
        Unique_Fd listener = bind_Notify_Socket(name);
        ASSERT_TRUE(listener.valid()) << name;
        setenv("NOTIFY_SOCKET", name.c_str(), 1);
        init_Service_Notify();
        EXPECT_EQ(getenv("NOTIFY_SOCKET"), nullptr);
        EXPECT_TRUE(set_Service_Notify("READY=1\nSTATUS=up")) << name;
        EXPECT_EQ(receive_Notification(listener), "READY=1\nSTATUS=up") << name;
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
