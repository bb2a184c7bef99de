// The host files of a scenario.

#include "scenario_files.h"

#include "os_wrappers.h"
#include "testkit/files.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sstream>
#include <unistd.h>

namespace pec_bench {

namespace {

// Writes files below the run directory and keeps a list of those that failed.
class Writer {
public:
    explicit Writer(const std::string& run_dir) : run_dir_(run_dir) {}

    void dir(const std::string& rel) { check(rel, make_Dirs(path(rel))); }
    void file(const std::string& rel, const std::string& content, mode_t mode = 0644) {
        check(rel, write_File(path(rel), content, mode));
    }
    void check(const std::string& rel, int err) {
        if (err != 0) {
            failures_ += (failures_.empty() ? "" : "; ") + rel + ": " + strerror(err);
        }
    }
    std::string path(const std::string& rel) const { return run_dir_ + "/" + rel; }
    const std::string& failures() const { return failures_; }

private:
    const std::string& run_dir_;
    std::string failures_;
};

// A sparse file that covers the physical address the card maps, with the
// serial-number record at offset 0x50.
int write_eeprom(const std::string& path, const Scenario& sc) {
    Unique_Fd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!fd.valid() || ftruncate(fd.get(), eeprom_window + 0x1000) != 0) {
        return errno;
    }
    std::string rec;
    rec.push_back(sc.has_serial ? 0x55 : 0x00);
    rec += sc.serial;
    rec.push_back('\0');
    ssize_t n = pwrite(fd.get(), rec.data(), rec.size(), eeprom_window + 0x50);
    if (n != static_cast<ssize_t>(rec.size())) {
        return n < 0 ? errno : EIO;
    }
    return fd.close_Now() == 0 ? 0 : errno;
}

// The adapter, and one unrelated hwmon device; the sensor's own device is the
// sensor tree's (sensor_tree.h).
void write_sysfs(Writer& w) {
    w.file("sys/class/i2c-adapter/i2c-0/new_device", "", 0200);
    w.file("sys/class/i2c-adapter/i2c-0/delete_device", "", 0200);
    w.file("sys/class/i2c-adapter/i2c-0/name", "Synquacer I2C adapter\n");
    w.file("sys/class/hwmon/hwmon0/name", "soc_thermal\n");
    w.file("sys/class/hwmon/hwmon0/temp1_input", "51000\n");
}

void write_os_release(Writer& w, const Scenario& sc) {
    std::string os = "NAME=\"Debian GNU/Linux\"\nVERSION_ID=\"12\"\nID=debian\n";
    if (sc.os_pretty_name) {
        os = "PRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\n" + os;
    }
    w.file("etc/os-release", os);
}

std::string netmask(int prefix) {
    uint32_t bits = prefix <= 0 ? 0 : prefix >= 32 ? ~0u : ~0u << (32 - prefix);
    return std::to_string(bits >> 24) + "." + std::to_string((bits >> 16) & 255) + "." +
           std::to_string((bits >> 8) & 255) + "." + std::to_string(bits & 255);
}

// eth0's configuration in the scenario's network manager, static at the
// scenario's address.
void write_manager_files(Writer& w, const Scenario& sc) {
    std::string cidr = sc.address + "/" + std::to_string(sc.prefix);
    switch (sc.manager) {
    case Manager::NETPLAN:
        w.file("etc/netplan/01-netcfg.yaml",
               "network:\n  version: 2\n  renderer: networkd\n  ethernets:\n    eth0:\n"
               "      dhcp4: false\n      addresses:\n        - " +
                   cidr + "\n      routes:\n        - to: default\n          via: " + sc.gateway +
                   "\n      nameservers:\n        addresses:\n          - 192.0.2.53\n",
               0600);
        break;
    case Manager::IFUPDOWN:
        w.file("etc/network/interfaces.d/eth0",
               "auto eth0\niface eth0 inet static\n    address " + sc.address + "\n    netmask " +
                   netmask(sc.prefix) + "\n    gateway " + sc.gateway + "\n");
        break;
    case Manager::NETWORK_MANAGER:
        w.file("etc/NetworkManager/system-connections/eth0.nmconnection",
               "[connection]\nid=eth0\ntype=ethernet\nautoconnect=yes\n"
               "interface-name=eth0\n\n[ethernet]\n\n[ipv4]\nmethod=manual\n"
               "address1=" +
                   cidr + "," + sc.gateway + "\ndns=192.0.2.53;\n\n[proxy]\n",
               0600);
        break;
    case Manager::NETWORK_MANAGER_NO_KEYFILE:
    case Manager::NONE:
        break;
    }
    w.file("etc/network/interfaces", "# interfaces(5) file used by ifup(8) and ifdown(8)\n"
                                     "source /etc/network/interfaces.d/*\n");
    w.file("etc/NetworkManager/NetworkManager.conf",
           "[main]\nplugins=keyfile\ndns=none\nrc-manager=unmanaged\nno-auto-default=*\n\n"
           "[keyfile]\n"
           "unmanaged-devices=interface-name:bmcnet0;interface-name:lo\n\n"
           "[logging]\nlevel=WARN\n");
}

// What sandbox_init.sh reads.
void write_scenario_env(Writer& w, const Scenario& sc) {
    bool nm =
        sc.manager == Manager::NETWORK_MANAGER || sc.manager == Manager::NETWORK_MANAGER_NO_KEYFILE;
    std::ostringstream env;
    env << "BENCH_MANAGER=" << manager_name(sc.manager) << "\n"
        << "BENCH_NM=" << (nm ? 1 : 0) << "\n"
        << "BENCH_ADDRESS=" << sc.address << "\n"
        << "BENCH_PREFIX=" << sc.prefix << "\n"
        << "BENCH_GATEWAY=" << sc.gateway << "\n"
        << "BENCH_HOSTNAME=" << sc.hostname << "\n"
        << "BENCH_DEBUG=" << (sc.debug ? 1 : 0) << "\n";
    w.file("scenario.env", env.str());
}

} // namespace

std::string write_scenario_files(const std::string& run_dir, const Scenario& sc) {
    Writer w(run_dir);
    for (const char* d :
         {"dev", "sysfs", "sys/class/net", "sys/class/i2c-adapter/i2c-0", "sys/class/hwmon/hwmon0",
          "etc/netplan", "etc/network/interfaces.d", "etc/NetworkManager/system-connections",
          "etc/NetworkManager/conf.d", "var-lib-nm"}) {
        w.dir(d);
    }
    w.check("eeprom.bin", write_eeprom(w.path("eeprom.bin"), sc));
    write_sysfs(w);
    write_os_release(w, sc);
    write_manager_files(w, sc);
    write_scenario_env(w, sc);
    w.file("calls.log", "");
    return w.failures();
}

} // namespace pec_bench
