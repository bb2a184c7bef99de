// The whole netplan apply path, Network::set_Config_Apply, with 10, 100 and
// 1,000 interfaces in the file: reading the file, the document update,
// replacing the file whole and running "netplan apply". The paths are the
// host's own, so it runs in a child process with private mount and network
// namespaces: tmpfs over every directory the network code may write, a
// stand-in `netplan` and `systemctl` first on PATH, and an eth0 of its own.
// Nothing is written before all of that is in place; the host's /etc is
// never touched.

#include "figures.h"
#include "workloads.h"

#include "log.h"
#include "network.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/magic.h>
#include <sched.h>
#include <sstream>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <sys/wait.h>
#include <unistd.h>

namespace figures {

namespace {

const char* const section = "scaling (in-process)";
const char* const private_dirs[] = {"/etc/netplan", "/etc/network/interfaces.d",
                                    "/etc/NetworkManager/system-connections", "/run"};
const char* const standins = "/run/pec-figures-bin";

bool is_tmpfs(const char* path) {
    struct statfs fs {};
    return statfs(path, &fs) == 0 && fs.f_type == TMPFS_MAGIC;
}

bool write_text(const std::string& path, const std::string& text, mode_t mode) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    bool ok = fd >= 0 && write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    return fd >= 0 && close(fd) == 0 && ok;
}

// The private host of the child; "" when it is in place, else why not.
std::string make_private_host() {
    if (unshare(CLONE_NEWNS | CLONE_NEWNET) != 0) {
        return std::string("unshare: ") + strerror(errno);
    }
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        return std::string("private mounts: ") + strerror(errno);
    }
    for (const char* dir : private_dirs) {
        if (mount("tmpfs", dir, "tmpfs", 0, "mode=0755") != 0 || !is_tmpfs(dir)) {
            return std::string("tmpfs over ") + dir + ": " + strerror(errno);
        }
    }
    mkdir(standins, 0755);
    if (!write_text(std::string(standins) + "/netplan", "#!/bin/sh\nexit 0\n", 0755) ||
        !write_text(std::string(standins) + "/systemctl", "#!/bin/sh\necho inactive\nexit 3\n",
                    0755)) {
        return "cannot write the stand-ins";
    }
    setenv("PATH", (std::string(standins) + ":/usr/sbin:/usr/bin:/sbin:/bin").c_str(), 1);
    if (system("ip link set lo up && ip link add eth0 type veth peer name eth0peer && "
               "ip link set eth0peer up && ip link set eth0 up && "
               "ip addr add 192.0.2.10/24 dev eth0 && ip route add default via 192.0.2.1") != 0) {
        return "cannot set up eth0";
    }
    return "";
}

bool apply_once(int round) {
    const char mode = 1;
    const char* address = round % 2 == 0 ? "192.0.2.20" : "192.0.2.21";
    return Network::set_Config(Network::MODE, &mode) == 0 &&
           Network::set_Config(Network::IP_ADDRESS, address) == 0 &&
           Network::set_Config(Network::SUBNETMASK, "255.255.255.0") == 0 &&
           Network::set_Config(Network::GATEWAY, "192.0.2.1") == 0 && Network::set_Config_Apply();
}

// The child's work; one line per size on `out`: "N SECONDS", or "skip WHY".
void child_main(int out, const Settings& s) {
    std::ostringstream report;
    std::string why = make_private_host();
    for (int n : {10, 100, 1000}) {
        if (!why.empty()) {
            break;
        }
        if (!write_text("/etc/netplan/01-netcfg.yaml", netplan_with_interfaces(n), 0600)) {
            why = "cannot write the netplan file";
            break;
        }
        Network::set_Interface_Name("eth0");
        int round = 0;
        double t = seconds_per_call([&] { return apply_once(round++); }, s.scaling_seconds, 3);
        if (t < 0) {
            why = "set_Config_Apply failed";
            break;
        }
        report << n << " " << t << "\n";
    }
    if (!why.empty()) {
        report << "skip " << why << "\n";
    }
    const std::string text = report.str();
    ssize_t ignored = write(out, text.data(), text.size());
    static_cast<void>(ignored);
}

// The child's report; "" when it could not be read.
std::string run_child(const Settings& s) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        return "";
    }
    pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 1); // the network code's log lines
        dup2(null, 2);
        child_main(fds[1], s);
        _exit(0);
    }
    close(fds[1]);
    std::string text;
    char buf[1024];
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof(buf))) > 0) {
        text.append(buf, static_cast<size_t>(n));
    }
    close(fds[0]);
    int status = 0;
    if (pid > 0) {
        waitpid(pid, &status, 0);
    }
    return text;
}

} // namespace

Rows measure_apply_path(const Settings& s) {
    if (geteuid() != 0) {
        return {not_measured(section, "netplan apply path", "needs root (private namespaces)")};
    }
    std::istringstream lines(run_child(s));
    Rows rows;
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        int interfaces = 0;
        double t = 0;
        if (line.compare(0, 5, "skip ") == 0) {
            rows.push_back(not_measured(section, "netplan apply path", line.substr(5)));
        } else if (fields >> interfaces >> t) {
            rows.push_back({section,
                            "netplan apply path, " + std::to_string(interfaces) + " interfaces",
                            fixed(t * 1000, 2) + " ms/call",
                            "Network::set_Config_Apply in private namespaces: read, update, "
                            "replace with fsync (tmpfs), stand-in netplan"});
        }
    }
    if (rows.empty()) {
        rows.push_back(not_measured(section, "netplan apply path", "the child reported nothing"));
    }
    return rows;
}

} // namespace figures
