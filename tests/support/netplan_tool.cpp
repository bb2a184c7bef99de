// The real netplan as the judge of a netplan file.
#include "support/netplan_tool.h"

#include "support/shell.h"
#include "testkit/files.h"

Netplan_Result netplan_Generate(const std::string& yaml) {
    Netplan_Result result;
    Temp_Dir root("netplan_generate");
    if (make_Dirs(root.file("etc/netplan")) != 0) {
        result.output = "no root directory for netplan generate";
        return result;
    }
    write_File(root.file("etc/netplan/01-netcfg.yaml"), yaml, 0600);
    result.accepted =
        run_Shell(std::string(netplan_generator) + " --root-dir " + root.path() + " 2>&1",
                  &result.output) == 0;
    result.unit = read_File(root.file("run/systemd/network/10-netplan-eth0.network"));
    return result;
}
