// The I2C link and the BMC request handler, as far as they run without the
// BMC: starting without a bus, requests to a link that does not run, the
// handler's dispatch (hostnames with a recording hostnamectl; network items
// in a private mount namespace whose network configuration directories are
// empty), and a running link over a stand-in bus device whose feedback line
// cannot be read.
#include "I2C_BMC_packet_thread.h"

#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "log.h"
#include "support/fixtures.h"
#include "support/text.h"
#include "testkit/namespaces.h"
#include "testkit/processes.h"

namespace {

int broadcast_Handler(const BMC::Packet&) {
    return 0;
}

int error_Handler(BMC::Packet* response, uint8_t) {
    BMC::init_Packet(response, BMC::BMC, false, BMC::ERROR, false, BMC::DESCRIPTION, 0, BMC::UINT8,
                     nullptr, 0);
    return 0;
}

// A request from the BMC: `subaddress` under NETWORK with `data` as its
// bytes, exactly as received (no terminator added).
void make_Request(BMC::Packet* packet, uint8_t subaddress, const std::string& data) {
    BMC::init_Packet(packet, BMC::BMC, false, BMC::WRITE, false, BMC::NETWORK, subaddress,
                     BMC::STRING, data.data(), static_cast<uint8_t>(data.size()));
}

// The request handler's DEBUG line with `text`.
std::string handler_Debug(const std::string& text) {
    return log_Line("DEBUG", "[I2C Packet] I2C_BMC_Packet_Hander: " + text);
}

// Fake host commands in front of PATH; the debug lines are switched off
// again after each test.
class Link_Test : public Fake_Bin_Test {
protected:
    void TearDown() override {
        set_Debug_Log(false);
        Fake_Bin_Test::TearDown();
    }

    // Runs `body` with DEBUG lines on in a child whose network configuration
    // is isolated, with recording stand-ins for every program a request may run.
    Child_Result run_Handler_In_Child(const std::function<void(std::ostream&)>& body) {
        add_Fake_Command("hostnamectl", "");
        add_Fake_Command("systemctl", "inactive\\n");
        add_Fake_Command("netplan", "");
        add_Fake_Command("nmcli", "");
        return run_In_Child(dir + "/child.log", PRIVATE_MOUNTS, [&](std::ostream& out) {
            // Empty network configuration directories, so that nothing of
            // the host's configuration is read or changed.
            std::string problem =
                mount_Empty_Dirs({"/etc/netplan", "/etc/NetworkManager/system-connections",
                                  "/etc/network/interfaces.d"});
            if (!problem.empty()) {
                out << "isolation failed: " << problem << "\n";
                return;
            }
            set_Debug_Log(true);
            body(out);
        });
    }
};

TEST_F(Link_Test, RequestsBeforeStartAreRefused) {
    ASSERT_FALSE(get_I2C_BMC_Packet_Thread_Start_Flag());
    BMC::Packet request;
    BMC::init_Packet(&request, BMC::PEC_3, false, BMC::PING, true, BMC::DESCRIPTION, 0, BMC::UINT8,
                     nullptr, 0);
    BMC::Packet response;
    EXPECT_EQ(set_I2C_BMC_Packet_Request(request, &response), 1);
    EXPECT_EQ(set_I2C_BMC_Packet_Request(request, nullptr), 1);
    EXPECT_EQ(response.packet_length, 0);
    const uint8_t* data = response.data; // a packed member: no reference to it
    EXPECT_EQ(data, nullptr);
    EXPECT_EQ(init_I2C_BMC_Packet_Thread(broadcast_Handler, nullptr), 1);
    EXPECT_FALSE(get_I2C_BMC_Packet_Thread_Start_Flag());
    set_I2C_BMC_Packet_Thread_Stop(); // not running: returns at once
}

TEST_F(Link_Test, StartWithoutBusReturnsFailure) {
    if (access("/dev/i2c-0", F_OK) == 0)
        GTEST_SKIP() << "this host has /dev/i2c-0";
    Child_Result child = run_In_Child(dir + "/child.log", HOST_NAMESPACES, [&](std::ostream& out) {
        out << "init=" << init_I2C_BMC_Packet_Thread(broadcast_Handler, error_Handler) << "\n";
        out << "running=" << get_I2C_BMC_Packet_Thread_Start_Flag() << "\n";
        BMC::Packet request;
        BMC::Packet response;
        BMC::init_Packet(&request, BMC::BMC, false, BMC::PING, false, BMC::DESCRIPTION, 0,
                         BMC::UINT8, nullptr, 0);
        out << "request=" << static_cast<int>(set_I2C_BMC_Packet_Request(request, &response))
            << "\n";
        set_I2C_BMC_Packet_Thread_Stop();
        // A second attempt fails the same way.
        out << "again=" << init_I2C_BMC_Packet_Thread(broadcast_Handler, error_Handler) << "\n";
    });
    EXPECT_EQ(child.results, "init=2\nrunning=0\nrequest=1\nagain=2\n");
    EXPECT_EQ(count_Of(without_Colours(child.log),
                       log_Line("ERROR", "[I2C Packet] I2C_BMC_Packet_Thread: open() error")),
              2u)
        << child.log;
}

TEST_F(Link_Test, HostnameRequestsAreCopiedTerminatedAndValidated) {
    add_Fake_Command("hostnamectl", "");
    BMC::Packet packet;
    // No terminator in the data: the name ends with the last data byte.
    make_Request(&packet, BMC::SUBADDRESS_NETWORK_CONFIG_HOSTNAME, "pec-link-1");
    I2C_BMC_Packet_Hander(&packet);
    // A terminator inside the data ends the name there.
    make_Request(&packet, BMC::SUBADDRESS_NETWORK_CONFIG_HOSTNAME,
                 std::string("pec-link-2\0;reboot", 18));
    I2C_BMC_Packet_Hander(&packet);
    // The largest data part.
    make_Request(&packet, BMC::SUBADDRESS_NETWORK_CONFIG_HOSTNAME, std::string(250, 'h'));
    testing::internal::CaptureStderr();
    I2C_BMC_Packet_Hander(&packet);
    make_Request(&packet, BMC::SUBADDRESS_NETWORK_CONFIG_HOSTNAME, "x;touch " + dir + "/hostile");
    I2C_BMC_Packet_Hander(&packet);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(count_Of(err, "invalid hostname refused, nothing run"), 2u) << err;
    EXPECT_EQ(get_Calls("hostnamectl"), "hostnamectl[set-hostname][pec-link-1]\n"
                                        "hostnamectl[set-hostname][pec-link-2]\n");
    EXPECT_NE(access((dir + "/hostile").c_str(), F_OK), 0);

    set_Debug_Log(true);
    testing::internal::CaptureStdout();
    make_Request(&packet, BMC::SUBADDRESS_NETWORK_CONFIG_HOSTNAME, "pec-link-3");
    I2C_BMC_Packet_Hander(&packet);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(without_Colours(out).find(handler_Debug("HOSTNAME=pec-link-3 ")), 0u) << out;
}

TEST_F(Link_Test, PacketsWithoutDataAndOtherSubaddressesChangeNothing) {
    Child_Result child = run_Handler_In_Child([&](std::ostream& out) {
        BMC::Packet packet;
        for (int subaddress = 0; subaddress <= 10; ++subaddress) {
            // Header only, a PING from the BMC, and the zero length of a
            // failed read.
            BMC::init_Packet(&packet, BMC::BMC, false, BMC::WRITE, false, BMC::NETWORK,
                             static_cast<uint8_t>(subaddress), BMC::UINT8, nullptr, 0);
            I2C_BMC_Packet_Hander(&packet);
            BMC::init_Packet(&packet, BMC::BMC, false, BMC::PING, false, BMC::NETWORK,
                             static_cast<uint8_t>(subaddress), BMC::UINT8, nullptr, 0);
            I2C_BMC_Packet_Hander(&packet);
        }
        BMC::init_Packet(&packet, 0);
        I2C_BMC_Packet_Hander(&packet);
        for (int subaddress : {8, 9, 10, 255}) {
            make_Request(&packet, static_cast<uint8_t>(subaddress), "192.0.2.9");
            I2C_BMC_Packet_Hander(&packet);
        }
        make_Request(&packet, 200, std::string(250, 'd'));
        I2C_BMC_Packet_Hander(&packet);
        // A BMC's control bytes and line breaks stay inside its DEBUG line.
        make_Request(&packet, 201, "x\n\033[31m[ERROR]\tfake\x80");
        I2C_BMC_Packet_Hander(&packet);
        out << "netplan_files=" << access("/etc/netplan/01-netcfg.yaml", F_OK) << "\n";
    });
    if (child.skipped)
        GTEST_SKIP() << "needs a private mount namespace (run as root)";
    EXPECT_EQ(child.results, "netplan_files=-1\n");
    const std::string log = without_Colours(child.log);
    EXPECT_EQ(count_Of(log, "packet without data skipped"), 23u) << log;
    EXPECT_NE(log.find(handler_Debug("packet without data skipped, subaddress=7 ")),
              std::string::npos);
    EXPECT_EQ(count_Of(log, handler_Debug("default=192.0.2.9 ")), 4u) << log;
    EXPECT_NE(log.find(handler_Debug("default=" + std::string(250, 'd') + " ")), std::string::npos);
    EXPECT_NE(log.find(handler_Debug("default=x\\x0A\\x1B[31m[ERROR]\\x09fake\\x80 ")),
              std::string::npos)
        << log;
    // Nothing reached the network code or the hostname.
    EXPECT_EQ(get_Calls(), "");
}

TEST_F(Link_Test, NetworkRequestsReachTheNetworkSettings) {
    Child_Result child = run_Handler_In_Child([&](std::ostream& out) {
        BMC::Packet packet;
        make_Request(&packet, BMC::SUBADDRESS_NETWORK_CONFIG_MODE, std::string(1, '\1'));
        I2C_BMC_Packet_Hander(&packet);
        make_Request(&packet, BMC::SUBADDRESS_NETWORK_CONFIG_IP_ADDRESS, "192.0.2.5");
        I2C_BMC_Packet_Hander(&packet);
        make_Request(&packet, BMC::SUBADDRESS_NETWORK_CONFIG_GATEWAY,
                     std::string("192.0.2.1\0", 10));
        I2C_BMC_Packet_Hander(&packet);
        make_Request(&packet, BMC::SUBADDRESS_NETWORK_CONFIG_SUBNETMASK, "255.255.255.0");
        I2C_BMC_Packet_Hander(&packet);
        make_Request(&packet, BMC::SUBADDRESS_NETWORK_CONFIG_DNS1, "198.51.100.53");
        I2C_BMC_Packet_Hander(&packet);
        make_Request(&packet, BMC::SUBADDRESS_NETWORK_CONFIG_DNS2, "203.0.113.53");
        I2C_BMC_Packet_Hander(&packet);
        make_Request(&packet, BMC::SUBADDRESS_NETWORK_CONFIG_APPLY, std::string(1, '\0'));
        I2C_BMC_Packet_Hander(&packet);
        out << read_File("/etc/netplan/01-netcfg.yaml");
    });
    if (child.skipped)
        GTEST_SKIP() << "needs a private mount namespace (run as root)";
    const std::string lines[] = {"MODE=1 ",
                                 "IP_ADDRESS=192.0.2.5 ",
                                 "GATEWAY=192.0.2.1 ",
                                 "SUBNETMASK=255.255.255.0 ",
                                 "DNS1=198.51.100.53 ",
                                 "DNS2=203.0.113.53 ",
                                 "APPLY=0 "};
    const std::string log = without_Colours(child.log);
    size_t at = 0;
    for (const std::string& line : lines) {
        at = log.find(handler_Debug(line), at);
        EXPECT_NE(at, std::string::npos) << line << "\n" << log;
    }
    // The apply wrote the collected values and activated them.
    EXPECT_NE(get_Calls("netplan").find("[apply]"), std::string::npos) << get_Calls("netplan");
    for (const char* value : {"192.0.2.5/24", "192.0.2.1", "198.51.100.53", "203.0.113.53"})
        EXPECT_NE(child.results.find(value), std::string::npos) << value << "\n" << child.results;
    EXPECT_NE(child.results.find("dhcp4: false"), std::string::npos) << child.results;
}

TEST_F(Link_Test, RunningLinkOverStandInBus) {
    Child_Result child = run_In_Child(dir + "/child.log", PRIVATE_MOUNTS, [&](std::ostream& out) {
        // A private /dev whose bus device is an empty file and which has no
        // GPIO chip: the feedback line cannot be read and counts as low, so
        // the link reads on every pass (zero-length packets) and writes
        // nothing.
        if (mount("none", "/dev", "tmpfs", 0, nullptr) != 0) {
            out << "mount failed\n";
            return;
        }
        write_File("/dev/i2c-0", "");
        set_Debug_Log(true);
        out << "init=" << init_I2C_BMC_Packet_Thread(broadcast_Handler, error_Handler) << "\n";
        out << "running=" << get_I2C_BMC_Packet_Thread_Start_Flag() << "\n";

        BMC::Packet request;
        BMC::Packet response;
        float temperature = 42.5f;
        BMC::init_Packet(&request, BMC::BMC, false, BMC::WRITE, false, BMC::STATUS, 0, BMC::FLOAT,
                         &temperature, 1);
        out << "no_response=" << static_cast<int>(set_I2C_BMC_Packet_Request(request, &response))
            << "," << static_cast<int>(response.packet_length) << "\n";
        out << "null_response=" << static_cast<int>(set_I2C_BMC_Packet_Request(request, nullptr))
            << "\n";

        // Never written, so never acknowledged: the wait runs out.
        BMC::Packet ping;
        BMC::init_Packet(&ping, BMC::PEC_5, false, BMC::PING, true, BMC::DESCRIPTION, 0, BMC::UINT8,
                         nullptr, 0);
        auto show_Response = [&](const char* name) {
            out << name << "=" << static_cast<int>(set_I2C_BMC_Packet_Request(ping, &response))
                << "," << static_cast<int>(response.packet_length) << ","
                << static_cast<int>(BMC::get_Packet_Type(response)) << ","
                << static_cast<int>(BMC::get_Packet_Node_ID(response)) << "\n";
        };
        show_Response("timed_out");

        // Two packets are queued; fill the queue to its 200 and go past it.
        for (int i = 2; i < 205; ++i)
            if (set_I2C_BMC_Packet_Request(request, &response) != 0)
                out << "refused " << i << "\n";
        show_Response("queue_full");

        set_I2C_BMC_Packet_Thread_Stop();
        out << "after_stop=" << get_I2C_BMC_Packet_Thread_Start_Flag() << "\n";
        out << "restart=" << init_I2C_BMC_Packet_Thread(broadcast_Handler, error_Handler) << "\n";
        out << "request_after_restart="
            << static_cast<int>(set_I2C_BMC_Packet_Request(request, &response)) << "\n";
        set_I2C_BMC_Packet_Thread_Stop();
        struct stat bus = {};
        stat("/dev/i2c-0", &bus);
        out << "bytes_written=" << bus.st_size << "\n";
    });
    if (child.skipped)
        GTEST_SKIP() << "needs a private mount namespace (run as root)";
    EXPECT_EQ(child.results, "init=0\n"
                             "running=1\n"
                             "no_response=0,0\n"
                             "null_response=2\n"
                             "timed_out=0,5,0,5\n"
                             "queue_full=0,5,0,5\n"
                             "after_stop=0\n"
                             "restart=0\n"
                             "request_after_restart=0\n"
                             "bytes_written=0\n");
    const std::string log = without_Colours(child.log);
    const std::string thread_debug = "[I2C Packet] I2C_BMC_Packet_Thread: ";
    EXPECT_EQ(count_Of(log, log_Line("DEBUG", thread_debug + "thread start")), 2u);
    EXPECT_EQ(count_Of(log, log_Line("DEBUG", thread_debug + "thread stop")), 2u);
    EXPECT_EQ(count_Of(child.log, "I2C_BMC_Packet_Thread: init GPIO Failed"), 2u);
    EXPECT_GT(count_Of(child.log, "packet without data skipped, subaddress=0 "), 0u);
    EXPECT_EQ(count_Of(child.log, "Write Packet length"), 0u);
}

} // namespace
