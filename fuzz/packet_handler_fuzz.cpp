// Fuzzes the BMC request handler with what a read from the bus can deliver:
// up to 256 bytes, split by their length byte as the link thread splits them,
// through the handler's checks into set_Config, set_Config_Apply and the
// hostname request.
//
// The handler edits the host's network configuration, so the target runs in
// a private mount namespace of its own (root only): tmpfs over the
// configuration directories and /run, with a netplan file in place, and
// stand-ins under /run that do nothing for the commands it runs. /tmp stays
// visible: the fuzzer's own binary, corpus and job logs may live there.
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "BMC_data_protocol.h"
#include "I2C_BMC_packet_thread.h"
#include "log.h"
#include "testkit/files.h"
#include "testkit/namespaces.h"

namespace {

void fail(const std::string& what) {
    fprintf(stderr, "packet_handler_fuzz: %s (run as root: it needs a private mount namespace)\n",
            what.c_str());
    exit(1);
}

void write_Text(const std::string& path, const char* text, mode_t mode) {
    if (write_File(path, text, mode) != 0)
        fail("cannot write " + path);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    std::string failed = enter_Private_Namespaces(PRIVATE_MOUNTS);
    if (failed.empty())
        failed = mount_Empty_Dirs({"/etc/netplan", "/etc/network/interfaces.d",
                                   "/etc/NetworkManager/system-connections", "/run"});
    if (!failed.empty())
        fail(failed);
    write_Text("/etc/netplan/01-netcfg.yaml",
               "network:\n  ethernets:\n    eth0:\n      dhcp4: true\n", 0600);
    const std::string bin = "/run/pec-fuzz-bin";
    mkdir(bin.c_str(), 0755);
    for (const char* name : {"hostnamectl", "netplan", "nmcli", "systemctl"})
        write_Text(bin + "/" + name, "#!/bin/sh\nexit 0\n", 0755);
    setenv("PATH", (bin + ":/usr/bin:/bin").c_str(), 1);
    // Lines are formatted as usual, and dropped.
    set_Log_Output_File("/dev/null", "w");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    uint8_t wire[256] = {};
    memcpy(wire, data, size < sizeof(wire) ? size : sizeof(wire));

    // Split by its length byte, as the link thread splits a read.
    BMC::Packet packet;
    BMC::init_Packet_From_Wire(&packet, wire, sizeof(wire));
    I2C_BMC_Packet_Hander(&packet);
    return 0;
}
