// The simulated BMC and board: socket server for the interposer, sensor and
// EEPROM files, sandbox launch, trace and teardown.

#include "pec_bench/bench.h"
#include "pec_bench/wire.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <linux/gpio.h>
#include <linux/i2c.h>
#include <map>
#include <mutex>
#include <poll.h>
#include <random>
#include <sstream>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#ifndef PEC_BENCH_SOURCE_DIR
#define PEC_BENCH_SOURCE_DIR "bench"
#endif
#ifndef PEC_BENCH_INTERPOSER
#define PEC_BENCH_INTERPOSER "libpec_bench_interposer.so"
#endif

namespace pec_bench {

namespace {

constexpr uint8_t bmc_slave = 8;
constexpr unsigned gpio_lines = 8;
constexpr long eeprom_window = 0x10000000;

// ---- small file helpers -------------------------------------------------------

bool write_file(const std::string& path, const std::string& content, mode_t mode = 0644) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (fd < 0) {
        return false;
    }
    const char* p = content.data();
    size_t left = content.size();
    while (left > 0) {
        ssize_t n = ::write(fd, p, left);
        if (n <= 0) {
            ::close(fd);
            return false;
        }
        p += n;
        left -= static_cast<size_t>(n);
    }
    fchmod(fd, mode);
    return ::close(fd) == 0;
}

// Replaces a file whole, so a reader never sees it half-written.
bool replace_file(const std::string& path, const std::string& content) {
    std::string tmp = path + ".new";
    return write_file(tmp, content) && rename(tmp.c_str(), path.c_str()) == 0;
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

bool make_dirs(const std::string& path) {
    std::string partial;
    std::istringstream in(path);
    std::string part;
    if (!path.empty() && path[0] == '/') {
        partial = "/";
    }
    while (std::getline(in, part, '/')) {
        if (part.empty()) {
            continue;
        }
        partial += part + "/";
        if (mkdir(partial.c_str(), 0755) != 0 && errno != EEXIST) {
            return false;
        }
    }
    return true;
}

void remove_tree(const std::string& path) {
    DIR* d = opendir(path.c_str());
    if (d == nullptr) {
        unlink(path.c_str());
        return;
    }
    while (dirent* e = readdir(d)) {
        std::string name = e->d_name;
        if (name == "." || name == "..") {
            continue;
        }
        std::string child = path + "/" + name;
        struct stat st {};
        if (lstat(child.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
            remove_tree(child);
        } else {
            unlink(child.c_str());
        }
    }
    closedir(d);
    rmdir(path.c_str());
}

std::string env_or(const char* name, const char* fallback) {
    const char* v = getenv(name);
    return (v != nullptr && v[0] != '\0') ? v : fallback;
}

// The interposer path may hold "$PLATFORM", which the dynamic loader of each
// preloaded process replaces with its CPU's name (x86_64, aarch64): one
// LD_PRELOAD value then serves a daemon built for the card's CPU (run under
// qemu) and the host's shells it starts. This is the host's copy of it.
std::string host_copy(std::string path) {
    struct utsname host = {};
    size_t at = path.find("$PLATFORM");
    if (at != std::string::npos && uname(&host) == 0) {
        path.replace(at, strlen("$PLATFORM"), host.machine);
    }
    return path;
}

std::string hex2(unsigned v) {
    char b[8];
    snprintf(b, sizeof(b), "%02x", v);
    return b;
}

// ---- emergency teardown on signals ------------------------------------------

struct LiveEntry {
    std::atomic<pid_t> sandbox{0};
    char run_dir[256] = {0};
    std::atomic<bool> used{false};
};
LiveEntry live[16];
std::once_flag handlers_once;

void emergency_teardown(int sig) {
    for (LiveEntry& e : live) {
        if (!e.used.load()) {
            continue;
        }
        pid_t p = e.sandbox.load();
        if (p > 0) {
            kill(p, SIGKILL); // the namespace's init follows (kill-child)
        }
        if (e.run_dir[0] != '\0') {
            pid_t rm = fork();
            if (rm == 0) {
                char* const argv[] = {const_cast<char*>("rm"), const_cast<char*>("-rf"), e.run_dir,
                                      nullptr};
                execv("/bin/rm", argv);
                _exit(127);
            }
            if (rm > 0) {
                waitpid(rm, nullptr, 0);
            }
        }
    }
    signal(sig, SIG_DFL);
    raise(sig);
}

void install_handlers() {
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction old {};
        sigaction(sig, nullptr, &old);
        if (old.sa_handler == SIG_DFL) {
            signal(sig, emergency_teardown);
        }
    }
}

LiveEntry* register_live(const std::string& run_dir) {
    for (LiveEntry& e : live) {
        bool expected = false;
        if (e.used.compare_exchange_strong(expected, true)) {
            snprintf(e.run_dir, sizeof(e.run_dir), "%s", run_dir.c_str());
            e.sandbox.store(0);
            return &e;
        }
    }
    return nullptr;
}

// ---- connections --------------------------------------------------------------

enum class ConnKind { NEW, I2C, CHIP, LINE };

struct Conn {
    ConnKind kind = ConnKind::NEW;
    int pid = 0;
    int slave = -1;
    unsigned line = 0;
    bool output = false;
    std::string label;
};

struct Outgoing {
    Bytes bytes;
    size_t deliver; // bytes handed over on the read
};

} // namespace

// ---- state --------------------------------------------------------------------

struct Bench::State {
    Scenario scenario;
    Options options;
    std::string run_dir;
    std::string sock_path;
    std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();

    int listen_fd = -1;
    int wake_fd = -1;
    std::thread loop;
    std::atomic<bool> stopping{false};

    mutable std::mutex m;
    std::condition_variable cv;
    std::vector<TraceEvent> trace;
    FILE* trace_file = nullptr;
    std::deque<Outgoing> to_card;
    Faults faults;
    uint8_t node = 1; // node id the BMC addresses its requests to
    std::map<int, Conn> conns;
    int line_reads = 0;
    int last_line_value = -1;
    bool sensor_registered = false;
    int millidegrees = 0;
    std::mt19937 rng{12345};

    pid_t sandbox = 0;
    bool daemon_started_seen = false;
    LiveEntry* live_entry = nullptr;
    std::string log_partial[2];
    long log_offset[2] = {0, 0};

    double now() const {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }

    std::string path(const std::string& rel) const { return run_dir + "/" + rel; }

    // Appends an event (m held).
    void record(TraceEvent ev);
    void print(const std::string& line) {
        if (options.printer) {
            options.printer(line);
        }
    }

    bool prepare_run_dir();
    bool prepare_files();
    void create_sensor_device(uint8_t address, bool with_hwmon);
    void write_temperature();
    void tick();
    void tail_log(int which);
    void serve();
    void handle(int fd, Conn& c, const uint8_t* msg, size_t len);
    void reply(int fd, int32_t result, const void* payload = nullptr, size_t len = 0);
    int line_value() const { return (to_card.empty() && !faults.line_stuck_low) ? 1 : 0; }
    void note(const std::string& text) {
        TraceEvent ev;
        ev.event = "note";
        ev.detail = text;
        record(ev);
    }
    void queue_packet(const Bytes& b, size_t deliver);
};

void Bench::State::record(TraceEvent ev) {
    ev.t = now();
    std::ostringstream j;
    char t[32];
    snprintf(t, sizeof(t), "%.3f", ev.t);
    j << "{\"t\":" << t << ",\"event\":\"" << ev.event << "\"";
    if (!ev.device.empty()) {
        j << ",\"device\":\"" << ev.device << "\"";
    }
    j << ",\"result\":" << ev.result << ",\"value\":" << ev.value;
    if (!ev.detail.empty()) {
        j << ",\"detail\":\"" << json_escape(ev.detail) << "\"";
    }
    if (!ev.packet.raw.empty()) {
        j << ",\"packet\":" << packet_json(ev.packet);
    }
    j << "}";
    ev.json = j.str();
    if (trace_file != nullptr) {
        fprintf(trace_file, "%s\n", ev.json.c_str());
        fflush(trace_file);
    }

    // The readable line for the live view.
    std::string line;
    std::string when = std::string(t);
    when.insert(0, when.size() < 8 ? 8 - when.size() : 0, ' ');
    if (ev.event == "card_write") {
        line = when + "  card -> BMC  " + describe(ev.packet) + "   [" + hex(ev.packet.raw) + "]";
        if (ev.result < 0) {
            line += "  FAILED (" + std::string(strerror(-ev.result)) + ")";
        } else if (static_cast<size_t>(ev.result) < ev.packet.raw.size()) {
            line += "  short write: " + std::to_string(ev.result);
        }
    } else if (ev.event == "card_read") {
        if (ev.result < 0) {
            line = when + "  BMC -> card  read refused (" + strerror(-ev.result) + ")";
        } else if (!ev.packet.raw.empty()) {
            line =
                when + "  BMC -> card  " + describe(ev.packet) + "   [" + hex(ev.packet.raw) + "]";
        } else {
            line = when + "  BMC -> card  (idle: " + ev.detail + ")";
        }
    } else if (ev.event == "line_value" || ev.event == "slave" || ev.event == "close") {
        line.clear();
    } else {
        line = when + "  " + ev.event;
        if (!ev.device.empty()) {
            line += " " + ev.device;
        }
        if (!ev.detail.empty()) {
            line += ": " + ev.detail;
        }
    }
    if (!line.empty()) {
        print(line);
    }
    trace.push_back(std::move(ev));
    cv.notify_all();
}

void Bench::State::queue_packet(const Bytes& b, size_t deliver) {
    to_card.push_back({b, deliver == 0 || deliver > b.size() ? b.size() : deliver});
    TraceEvent ev;
    ev.event = "bmc_queue";
    ev.packet.raw = b;
    ev.value = static_cast<int>(to_card.size());
    ev.detail = describe(ev.packet);
    if (deliver != 0 && deliver < b.size()) {
        ev.detail += " (delivered cut to " + std::to_string(deliver) + " bytes)";
    }
    record(ev);
}

// ---- files of the scenario ------------------------------------------------------

bool Bench::State::prepare_run_dir() {
    make_dirs(options.run_dir_base);
    std::string tmpl = options.run_dir_base + "/pec-bench." + std::to_string(getpid()) + ".XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) == nullptr) {
        return false;
    }
    run_dir = buf.data();
    chmod(run_dir.c_str(), 0755);
    sock_path = path("sim.sock");
    return true;
}

void Bench::State::create_sensor_device(uint8_t address, bool with_hwmon) {
    std::string dev = "0-00" + hex2(address);
    std::string devdir = path("sys/class/i2c-adapter/i2c-0/" + dev);
    make_dirs(devdir);
    write_file(devdir + "/name", "adm1032\n");
    if (!with_hwmon) {
        return;
    }
    std::string hw = devdir + "/hwmon/hwmon1";
    make_dirs(hw);
    write_file(hw + "/name", "adm1032\n");
    write_file(hw + "/temp1_input", "38000\n");
    symlink(("../i2c-adapter/i2c-0/" + dev + "/hwmon/hwmon1").c_str(),
            path("sys/class/hwmon/hwmon1").c_str());
    sensor_registered = true;
    write_temperature();
}

void Bench::State::write_temperature() {
    if (!sensor_registered) {
        return;
    }
    std::string dev = "0-00" + hex2(scenario.sensor.address);
    replace_file(path("sys/class/i2c-adapter/i2c-0/" + dev + "/hwmon/hwmon1/temp2_input"),
                 std::to_string(millidegrees) + "\n");
}

bool Bench::State::prepare_files() {
    const Scenario& sc = scenario;
    bool ok = true;
    for (const char* d :
         {"dev", "sysfs", "sys/class/net", "sys/class/i2c-adapter/i2c-0", "sys/class/hwmon/hwmon0",
          "etc/netplan", "etc/network/interfaces.d", "etc/NetworkManager/system-connections",
          "etc/NetworkManager/conf.d", "var-lib-nm"}) {
        ok = make_dirs(path(d)) && ok;
    }
    // The EEPROM window: a sparse file that covers the physical address the
    // card maps, with the serial-number record at offset 0x50.
    {
        int fd = ::open(path("eeprom.bin").c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0 || ftruncate(fd, eeprom_window + 0x1000) != 0) {
            ok = false;
        } else {
            std::string rec;
            rec.push_back(sc.has_serial ? 0x55 : 0x00);
            rec += sc.serial;
            rec.push_back('\0');
            ok = pwrite(fd, rec.data(), rec.size(), eeprom_window + 0x50) ==
                     static_cast<ssize_t>(rec.size()) &&
                 ok;
        }
        if (fd >= 0) {
            ::close(fd);
        }
    }
    // Sensor tree: the adapter, one unrelated hwmon device, and the sensor
    // itself when the kernel already has it bound.
    ok = write_file(path("sys/class/i2c-adapter/i2c-0/new_device"), "", 0200) && ok;
    ok = write_file(path("sys/class/i2c-adapter/i2c-0/delete_device"), "", 0200) && ok;
    ok = write_file(path("sys/class/i2c-adapter/i2c-0/name"), "Synquacer I2C adapter\n") && ok;
    ok = write_file(path("sys/class/hwmon/hwmon0/name"), "soc_thermal\n") && ok;
    ok = write_file(path("sys/class/hwmon/hwmon0/temp1_input"), "51000\n") && ok;
    millidegrees = sc.sensor.millidegrees;
    if (sc.sensor.address != 0 && sc.sensor.bound) {
        create_sensor_device(sc.sensor.address, true);
    }

    std::string os = "NAME=\"Debian GNU/Linux\"\nVERSION_ID=\"12\"\nID=debian\n";
    if (sc.os_pretty_name) {
        os = "PRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\n" + os;
    }
    ok = write_file(path("etc/os-release"), os) && ok;
    ok = write_file(path("etc/network/interfaces"),
                    "# interfaces(5) file used by ifup(8) and ifdown(8)\n"
                    "source /etc/network/interfaces.d/*\n") &&
         ok;

    std::string mask = "255.255.255.0";
    if (sc.prefix != 24) {
        uint32_t bits = sc.prefix == 0 ? 0 : ~0u << (32 - sc.prefix);
        mask = std::to_string(bits >> 24) + "." + std::to_string((bits >> 16) & 255) + "." +
               std::to_string((bits >> 8) & 255) + "." + std::to_string(bits & 255);
    }
    std::string cidr = sc.address + "/" + std::to_string(sc.prefix);
    switch (sc.manager) {
    case Manager::NETPLAN:
        ok = write_file(path("etc/netplan/01-netcfg.yaml"),
                        "network:\n  version: 2\n  renderer: networkd\n  ethernets:\n    eth0:\n"
                        "      dhcp4: false\n      addresses:\n        - " +
                            cidr +
                            "\n      routes:\n        - to: default\n          via: " + sc.gateway +
                            "\n      nameservers:\n        addresses:\n          - 192.0.2.53\n",
                        0600) &&
             ok;
        break;
    case Manager::IFUPDOWN:
        ok = write_file(path("etc/network/interfaces.d/eth0"),
                        "auto eth0\niface eth0 inet static\n    address " + sc.address +
                            "\n    netmask " + mask + "\n    gateway " + sc.gateway + "\n") &&
             ok;
        break;
    case Manager::NETWORK_MANAGER:
        ok = write_file(path("etc/NetworkManager/system-connections/eth0.nmconnection"),
                        "[connection]\nid=eth0\ntype=ethernet\nautoconnect=yes\n"
                        "interface-name=eth0\n\n[ethernet]\n\n[ipv4]\nmethod=manual\n"
                        "address1=" +
                            cidr + "," + sc.gateway + "\ndns=192.0.2.53;\n\n[proxy]\n",
                        0600) &&
             ok;
        break;
    case Manager::NETWORK_MANAGER_NO_KEYFILE:
    case Manager::NONE:
        break;
    }
    bool nm =
        sc.manager == Manager::NETWORK_MANAGER || sc.manager == Manager::NETWORK_MANAGER_NO_KEYFILE;
    ok = write_file(path("etc/NetworkManager/NetworkManager.conf"),
                    "[main]\nplugins=keyfile\ndns=none\nrc-manager=unmanaged\nno-auto-default=*\n\n"
                    "[keyfile]\n"
                    "unmanaged-devices=interface-name:bmcnet0;interface-name:lo\n\n"
                    "[logging]\nlevel=WARN\n") &&
         ok;

    std::ostringstream env;
    env << "BENCH_MANAGER=" << manager_name(sc.manager) << "\n"
        << "BENCH_NM=" << (nm ? 1 : 0) << "\n"
        << "BENCH_ADDRESS=" << sc.address << "\n"
        << "BENCH_PREFIX=" << sc.prefix << "\n"
        << "BENCH_GATEWAY=" << sc.gateway << "\n"
        << "BENCH_HOSTNAME=" << sc.hostname << "\n"
        << "BENCH_DEBUG=" << (sc.debug ? 1 : 0) << "\n";
    ok = write_file(path("scenario.env"), env.str()) && ok;
    ok = write_file(path("calls.jsonl"), "") && ok;
    return ok;
}

// ---- socket server ----------------------------------------------------------------

void Bench::State::reply(int fd, int32_t result, const void* payload, size_t len) {
    uint8_t buf[wire::max_message];
    wire::Reply r{result};
    memcpy(buf, &r, sizeof(r));
    if (len > 0) {
        memcpy(buf + sizeof(r), payload, len);
    }
    ::send(fd, buf, sizeof(r) + len, MSG_NOSIGNAL);
}

void Bench::State::handle(int fd, Conn& c, const uint8_t* msg, size_t len) {
    if (len < sizeof(wire::Request)) {
        reply(fd, -EINVAL);
        return;
    }
    wire::Request req;
    memcpy(&req, msg, sizeof(req));
    const uint8_t* payload = msg + sizeof(req);
    size_t plen = len - sizeof(req);
    std::unique_lock<std::mutex> lock(m);
    TraceEvent ev;

    if (c.kind == ConnKind::NEW) {
        c.pid = req.arg1;
        switch (req.op) {
        case wire::OP_HELLO_I2C:
            if (req.arg0 != 0) {
                reply(fd, -ENOENT);
                return;
            }
            c.kind = ConnKind::I2C;
            ev.device = "i2c-0";
            break;
        case wire::OP_HELLO_GPIOCHIP:
            if (!scenario.gpio_present || req.arg0 != 0) {
                reply(fd, -ENOENT);
                return;
            }
            c.kind = ConnKind::CHIP;
            ev.device = "gpiochip0";
            break;
        case wire::OP_HELLO_LINEHANDLE:
        case wire::OP_HELLO_LINEEVENT: {
            unsigned line = 0;
            uint32_t flags = 0;
            std::string label;
            if (req.op == wire::OP_HELLO_LINEHANDLE && plen >= sizeof(gpiohandle_request)) {
                gpiohandle_request hr;
                memcpy(&hr, payload, sizeof(hr));
                if (hr.lines != 1) {
                    reply(fd, -EINVAL);
                    return;
                }
                line = hr.lineoffsets[0];
                flags = hr.flags;
                label.assign(hr.consumer_label, strnlen(hr.consumer_label, 32));
            } else if (req.op == wire::OP_HELLO_LINEEVENT && plen >= sizeof(gpioevent_request)) {
                gpioevent_request er;
                memcpy(&er, payload, sizeof(er));
                line = er.lineoffset;
                flags = er.handleflags;
                label.assign(er.consumer_label, strnlen(er.consumer_label, 32));
            } else {
                reply(fd, -EINVAL);
                return;
            }
            if (line >= gpio_lines) {
                reply(fd, -EINVAL);
                return;
            }
            for (auto& kv : conns) {
                if (kv.second.kind == ConnKind::LINE && kv.second.line == line) {
                    reply(fd, -EBUSY);
                    return;
                }
            }
            c.kind = ConnKind::LINE;
            c.line = line;
            c.output = (flags & GPIOHANDLE_REQUEST_OUTPUT) != 0;
            c.label = label;
            ev.event = "line_request";
            ev.device = "line";
            ev.value = static_cast<int>(line);
            ev.detail = std::string(req.op == wire::OP_HELLO_LINEEVENT ? "event" : "handle") +
                        " line " + std::to_string(line) + " \"" + label + "\" " +
                        (c.output ? "output" : "input");
            record(ev);
            reply(fd, 0);
            return;
        }
        default:
            reply(fd, -EINVAL);
            return;
        }
        ev.event = "open";
        ev.value = c.pid;
        ev.detail = "pid " + std::to_string(c.pid);
        record(ev);
        reply(fd, 0);
        return;
    }

    switch (req.op) {
    case wire::OP_I2C_SET_SLAVE: {
        if (c.kind != ConnKind::I2C) {
            break;
        }
        if (c.slave != req.arg0) {
            ev.event = "slave";
            ev.device = "i2c-0";
            ev.value = req.arg0;
            record(ev);
        }
        c.slave = req.arg0;
        reply(fd, 0);
        return;
    }
    case wire::OP_I2C_WRITE: {
        if (c.kind != ConnKind::I2C) {
            break;
        }
        int result;
        if (req.arg0 < 0) {
            result = -EINVAL; // no slave selected
        } else if (req.arg0 == bmc_slave) {
            if (faults.write_fail != 0) {
                result = -EREMOTEIO;
                if (faults.write_fail > 0) {
                    --faults.write_fail;
                }
            } else if (faults.write_short > 0) {
                --faults.write_short;
                result = static_cast<int>(plen / 2);
            } else {
                result = static_cast<int>(plen);
            }
            ev.event = "card_write";
            ev.packet.raw.assign(payload, payload + plen);
        } else if (req.arg0 == scenario.sensor.address) {
            result = static_cast<int>(plen);
            ev.event = "sensor_write";
        } else {
            result = -EREMOTEIO;
            ev.event = "nack";
        }
        ev.device = "i2c-0";
        ev.value = req.arg0;
        ev.result = result;
        record(ev);
        reply(fd, result);
        return;
    }
    case wire::OP_I2C_READ: {
        if (c.kind != ConnKind::I2C) {
            break;
        }
        size_t n = static_cast<size_t>(std::max(0, std::min<int>(req.arg1, wire::max_payload)));
        Bytes out(n, 0);
        int result = static_cast<int>(n);
        ev.event = "card_read";
        ev.device = "i2c-0";
        ev.value = req.arg0;
        if (req.arg0 != bmc_slave) {
            result = -EREMOTEIO;
            ev.event = "nack";
        } else if (faults.read_fail != 0) {
            result = -EREMOTEIO;
            if (faults.read_fail > 0) {
                --faults.read_fail;
            }
        } else if (!to_card.empty()) {
            Outgoing o = to_card.front();
            to_card.pop_front();
            uint8_t fill = faults.idle_fill < 0 ? 0xFF : static_cast<uint8_t>(faults.idle_fill);
            std::fill(out.begin(), out.end(), fill);
            size_t k = std::min(o.deliver, n);
            std::copy(o.bytes.begin(), o.bytes.begin() + static_cast<long>(k), out.begin());
            ev.packet.raw.assign(o.bytes.begin(), o.bytes.begin() + static_cast<long>(k));
        } else if (faults.idle_fill < 0) {
            result = -EREMOTEIO;
            ev.detail = "nack";
        } else {
            std::fill(out.begin(), out.end(), static_cast<uint8_t>(faults.idle_fill));
            ev.detail =
                "nothing queued, " + hex2(static_cast<unsigned>(faults.idle_fill)) + " bytes";
        }
        ev.result = result;
        record(ev);
        if (result < 0) {
            reply(fd, result);
        } else {
            reply(fd, result, out.data(), out.size());
        }
        return;
    }
    case wire::OP_I2C_SMBUS: {
        if (c.kind != ConnKind::I2C) {
            break;
        }
        i2c_smbus_data data{};
        if (plen >= sizeof(data)) {
            memcpy(&data, payload, sizeof(data));
        }
        bool present = !faults.smbus_fail && req.arg0 >= 0 &&
                       ((scenario.sensor.address != 0 && req.arg0 == scenario.sensor.address) ||
                        req.arg0 == bmc_slave);
        int result = present ? 0 : -ENXIO;
        if (present && req.arg1 == I2C_SMBUS_READ) {
            data.byte = 0x2A;
            data.word = 0x002A;
        }
        ev.event = "smbus";
        ev.device = "i2c-0";
        ev.value = req.arg0;
        ev.result = result;
        ev.detail = "probe 0x" + hex2(static_cast<unsigned>(req.arg0)) + " size " +
                    std::to_string(req.arg2 >> 8) +
                    (req.arg1 == I2C_SMBUS_READ ? " read" : " write") +
                    (present ? ": answered" : ": no device");
        record(ev);
        reply(fd, result, &data, sizeof(data));
        return;
    }
    case wire::OP_GPIO_CHIPINFO: {
        if (c.kind != ConnKind::CHIP) {
            break;
        }
        gpiochip_info info{};
        snprintf(info.name, sizeof(info.name), "gpiochip0");
        snprintf(info.label, sizeof(info.label), "pec-bench");
        info.lines = gpio_lines;
        reply(fd, 0, &info, sizeof(info));
        return;
    }
    case wire::OP_GPIO_GET_VALUES: {
        if (c.kind != ConnKind::LINE) {
            break;
        }
        ++line_reads;
        if (faults.line_read_fail) {
            reply(fd, -EIO);
            return;
        }
        gpiohandle_data values{};
        int v = c.line == 0 ? line_value() : 1;
        values.values[0] = static_cast<uint8_t>(v);
        if (c.line == 0 && v != last_line_value) {
            last_line_value = v;
            ev.event = "line_value";
            ev.device = "line";
            ev.value = v;
            record(ev);
        }
        reply(fd, 0, &values, sizeof(values));
        return;
    }
    case wire::OP_GPIO_SET_VALUES:
        if (c.kind != ConnKind::LINE) {
            break;
        }
        reply(fd, c.output ? 0 : -EPERM);
        return;
    default:
        break;
    }
    reply(fd, -ENOTTY);
}

void Bench::State::tail_log(int which) {
    std::string file = path(which == 0 ? "daemon.stdout" : "daemon.stderr");
    FILE* f = fopen(file.c_str(), "rb");
    if (f == nullptr) {
        return;
    }
    if (fseek(f, log_offset[which], SEEK_SET) == 0) {
        char buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof(buf), f)) > 0) {
            log_offset[which] += static_cast<long>(n);
            log_partial[which].append(buf, n);
        }
    }
    fclose(f);
    size_t pos;
    while ((pos = log_partial[which].find('\n')) != std::string::npos) {
        std::string line = log_partial[which].substr(0, pos);
        log_partial[which].erase(0, pos + 1);
        print(std::string(which == 0 ? "          daemon| " : "          daemon! ") + line);
    }
}

// Periodic work: sensor registration, daemon start and end, log lines.
void Bench::State::tick() {
    std::string nd = path("sys/class/i2c-adapter/i2c-0/new_device");
    std::string req = read_file(nd);
    if (!req.empty()) {
        truncate(nd.c_str(), 0);
        std::lock_guard<std::mutex> lock(m);
        TraceEvent ev;
        ev.event = "new_device";
        ev.detail = req.substr(0, req.find('\n'));
        std::istringstream in(req);
        std::string name, addr_text;
        in >> name >> addr_text;
        char* end = nullptr;
        unsigned long addr = strtoul(addr_text.c_str(), &end, 0);
        bool valid = end != nullptr && *end == '\0' && !addr_text.empty() && addr <= 0x7F;
        ev.value = valid ? static_cast<int>(addr) : -1;
        record(ev);
        if (valid && !sensor_registered) {
            bool ours = scenario.sensor.address != 0 && addr == scenario.sensor.address &&
                        name == "adm1032";
            // The kernel creates the device in any case; its driver binds
            // (and a hwmon directory appears) only where a sensor answers.
            create_sensor_device(static_cast<uint8_t>(addr), ours);
            if (ours) {
                TraceEvent reg;
                reg.event = "sensor_registered";
                reg.value = static_cast<int>(addr);
                reg.detail = "adm1032 at 0x" + hex2(static_cast<unsigned>(addr)) + " as hwmon1";
                record(reg);
            }
        }
    }
    if (sandbox > 0) {
        if (!daemon_started_seen && access(path("daemon.pid").c_str(), F_OK) == 0) {
            daemon_started_seen = true;
            std::lock_guard<std::mutex> lock(m);
            TraceEvent ev;
            ev.event = "daemon_start";
            ev.detail = read_file(path("daemon.pid"));
            ev.detail = ev.detail.substr(0, ev.detail.find('\n'));
            record(ev);
        }
        int status = 0;
        pid_t r = waitpid(sandbox, &status, WNOHANG);
        if (r == sandbox) {
            std::lock_guard<std::mutex> lock(m);
            sandbox = 0;
            if (live_entry != nullptr) {
                live_entry->sandbox.store(0);
            }
            TraceEvent ev;
            ev.event = "daemon_exit";
            std::string code = read_file(path("daemon.exit"));
            ev.detail = code.empty() ? "sandbox ended (see sandbox.log)"
                                     : "exit status " + code.substr(0, code.find('\n'));
            ev.result = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
            record(ev);
        }
    }
    if (options.print_daemon_log) {
        tail_log(0);
        tail_log(1);
    }
}

void Bench::State::serve() {
    auto last_tick = std::chrono::steady_clock::now();
    while (!stopping.load()) {
        std::vector<pollfd> fds;
        fds.push_back({listen_fd, POLLIN, 0});
        fds.push_back({wake_fd, POLLIN, 0});
        {
            std::lock_guard<std::mutex> lock(m);
            for (auto& kv : conns) {
                fds.push_back({kv.first, POLLIN, 0});
            }
        }
        poll(fds.data(), fds.size(), 50);
        if (fds[1].revents != 0) {
            uint64_t v;
            ssize_t ignored = ::read(wake_fd, &v, sizeof(v));
            (void)ignored;
        }
        if (fds[0].revents & POLLIN) {
            int c = accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
            if (c >= 0) {
                std::lock_guard<std::mutex> lock(m);
                conns[c] = Conn{};
            }
        }
        for (size_t i = 2; i < fds.size(); ++i) {
            if (fds[i].revents == 0) {
                continue;
            }
            int fd = fds[i].fd;
            uint8_t msg[wire::max_message];
            ssize_t n = recv(fd, msg, sizeof(msg), MSG_DONTWAIT);
            if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
                continue;
            }
            Conn conn;
            {
                std::lock_guard<std::mutex> lock(m);
                conn = conns[fd];
            }
            if (n <= 0) {
                std::lock_guard<std::mutex> lock(m);
                if (conn.kind != ConnKind::NEW) {
                    TraceEvent ev;
                    ev.event = "close";
                    ev.device = conn.kind == ConnKind::I2C    ? "i2c-0"
                                : conn.kind == ConnKind::CHIP ? "gpiochip0"
                                                              : "line";
                    ev.value = conn.pid;
                    record(ev);
                }
                conns.erase(fd);
                ::close(fd);
                continue;
            }
            handle(fd, conn, msg, static_cast<size_t>(n));
            std::lock_guard<std::mutex> lock(m);
            auto it = conns.find(fd);
            if (it != conns.end()) {
                it->second = conn;
            }
        }
        auto now = std::chrono::steady_clock::now();
        if (now - last_tick > std::chrono::milliseconds(50)) {
            last_tick = now;
            tick();
        }
    }
}

// ---- Bench ----------------------------------------------------------------------------

Bench::Bench(const Scenario& scenario, Options options) : s_(new State) {
    s_->scenario = scenario;
    s_->options = std::move(options);
    sweep_stale_run_dirs(s_->options.run_dir_base);
    std::call_once(handlers_once, install_handlers);
    if (!s_->prepare_run_dir()) {
        throw std::runtime_error("cannot create a run directory under " + s_->options.run_dir_base);
    }
    if (!s_->options.socket_path.empty()) {
        s_->sock_path = s_->options.socket_path;
        struct stat st {};
        if (lstat(s_->sock_path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode)) {
            unlink(s_->sock_path.c_str());
        }
    }
    s_->live_entry = register_live(s_->run_dir);
    std::string trace_path =
        s_->options.trace_path.empty() ? s_->path("trace.jsonl") : s_->options.trace_path;
    s_->trace_file = fopen(trace_path.c_str(), "w");
    bool files_ok = s_->prepare_files();

    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (s_->sock_path.size() >= sizeof(addr.sun_path)) {
        throw std::runtime_error("socket path too long: " + s_->sock_path);
    }
    strcpy(addr.sun_path, s_->sock_path.c_str());
    s_->listen_fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (s_->listen_fd < 0 ||
        bind(s_->listen_fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
        listen(s_->listen_fd, 16) != 0) {
        throw std::runtime_error("cannot listen on " + s_->sock_path + ": " + strerror(errno));
    }
    chmod(s_->sock_path.c_str(), 0666);
    s_->wake_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    {
        std::lock_guard<std::mutex> lock(s_->m);
        s_->note("scenario " + scenario.name + " in " + s_->run_dir +
                 (files_ok ? "" : " (some scenario files could not be written)"));
    }
    State* st = s_.get();
    s_->loop = std::thread([st] { st->serve(); });
}

Bench::~Bench() {
    stop_daemon();
    s_->stopping.store(true);
    uint64_t one = 1;
    ssize_t ignored = ::write(s_->wake_fd, &one, sizeof(one));
    (void)ignored;
    if (s_->loop.joinable()) {
        s_->loop.join();
    }
    for (auto& kv : s_->conns) {
        ::close(kv.first);
    }
    ::close(s_->listen_fd);
    ::close(s_->wake_fd);
    if (s_->trace_file != nullptr) {
        fclose(s_->trace_file);
    }
    if (!s_->options.socket_path.empty()) {
        unlink(s_->sock_path.c_str());
    }
    if (getenv("PEC_BENCH_KEEP") == nullptr) {
        remove_tree(s_->run_dir);
    }
    if (s_->live_entry != nullptr) {
        s_->live_entry->run_dir[0] = '\0';
        s_->live_entry->used.store(false);
    }
}

bool Bench::start_daemon(const std::string& daemon_path) {
    std::string why;
    if (geteuid() != 0) {
        why = "the sandbox needs root (mount, network and PID namespaces)";
    } else if (access(daemon_path.c_str(), X_OK) != 0) {
        why = "daemon binary not executable: " + daemon_path;
    } else if (s_->sandbox > 0) {
        why = "a daemon is already running";
    }
    std::string init =
        env_or("PEC_BENCH_SOURCE", PEC_BENCH_SOURCE_DIR) + "/sandbox/sandbox_init.sh";
    std::string interposer = env_or("PEC_BENCH_INTERPOSER", PEC_BENCH_INTERPOSER);
    if (why.empty() && access(init.c_str(), R_OK) != 0) {
        why = "sandbox script missing: " + init;
    }
    if (why.empty() && access(host_copy(interposer).c_str(), R_OK) != 0) {
        why = "interposer missing: " + interposer;
    }
    if (!why.empty()) {
        std::lock_guard<std::mutex> lock(s_->m);
        s_->note("cannot start the daemon: " + why);
        return false;
    }
    std::string standins = env_or("PEC_BENCH_SOURCE", PEC_BENCH_SOURCE_DIR) + "/standins";
    std::string log = s_->path("sandbox.log");
    pid_t parent = getpid();
    pid_t pid = fork();
    if (pid == 0) {
        // The sandbox must not outlive the bench, even when the bench is killed.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) {
            _exit(1);
        }
        setpgid(0, 0); // a terminal's Ctrl-C reaches the bench, which tears down
        int devnull = ::open("/dev/null", O_RDONLY);
        int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (devnull >= 0) {
            dup2(devnull, 0);
        }
        if (out >= 0) {
            dup2(out, 1);
            dup2(out, 2);
        }
        setenv("BENCH_RUN_DIR", s_->run_dir.c_str(), 1);
        setenv("BENCH_STANDINS", standins.c_str(), 1);
        setenv("BENCH_INTERPOSER", interposer.c_str(), 1);
        setenv("BENCH_DAEMON", daemon_path.c_str(), 1);
        execlp("unshare", "unshare", "--mount", "--net", "--uts", "--pid", "--fork",
               "--kill-child=SIGKILL", "--mount-proc", "/bin/bash", init.c_str(),
               static_cast<char*>(nullptr));
        _exit(127);
    }
    if (pid < 0) {
        std::lock_guard<std::mutex> lock(s_->m);
        s_->note(std::string("cannot fork: ") + strerror(errno));
        return false;
    }
    std::lock_guard<std::mutex> lock(s_->m);
    s_->sandbox = pid;
    s_->daemon_started_seen = false;
    if (s_->live_entry != nullptr) {
        s_->live_entry->sandbox.store(pid);
    }
    s_->note("sandbox started for " + daemon_path);
    return true;
}

void Bench::stop_daemon() {
    pid_t pid;
    {
        std::lock_guard<std::mutex> lock(s_->m);
        pid = s_->sandbox;
    }
    if (pid <= 0) {
        return;
    }
    // unshare ignores SIGTERM while its child runs; killing it makes the
    // kernel kill the namespace's first process (--kill-child), and with it
    // every process of the PID namespace.
    kill(pid, SIGKILL);
    int status = 0;
    pid_t r = waitpid(pid, &status, 0);
    std::lock_guard<std::mutex> lock(s_->m);
    if (s_->sandbox == pid) {
        // tick() may have reaped it first; then it has recorded the end.
        s_->sandbox = 0;
        if (s_->live_entry != nullptr) {
            s_->live_entry->sandbox.store(0);
        }
        TraceEvent ev;
        ev.event = "daemon_exit";
        ev.detail = "stopped by the bench";
        ev.result = r == pid && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        s_->record(ev);
    }
}

bool Bench::daemon_running() {
    std::lock_guard<std::mutex> lock(s_->m);
    return s_->sandbox > 0;
}

bool Bench::wait_for(const std::function<bool(const TraceEvent&)>& pred, size_t count,
                     std::chrono::milliseconds timeout, std::vector<TraceEvent>* out) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    std::unique_lock<std::mutex> lock(s_->m);
    size_t scanned = 0;
    std::vector<TraceEvent> found;
    while (true) {
        for (; scanned < s_->trace.size(); ++scanned) {
            if (pred(s_->trace[scanned])) {
                found.push_back(s_->trace[scanned]);
            }
        }
        if (found.size() >= count) {
            break;
        }
        if (s_->cv.wait_until(lock, deadline) == std::cv_status::timeout) {
            for (; scanned < s_->trace.size(); ++scanned) {
                if (pred(s_->trace[scanned])) {
                    found.push_back(s_->trace[scanned]);
                }
            }
            break;
        }
    }
    bool ok = found.size() >= count;
    if (out != nullptr) {
        *out = std::move(found);
    }
    return ok;
}

std::vector<TraceEvent> Bench::trace() const {
    std::lock_guard<std::mutex> lock(s_->m);
    return s_->trace;
}

std::vector<Packet> Bench::card_packets() const {
    std::lock_guard<std::mutex> lock(s_->m);
    std::vector<Packet> out;
    for (const TraceEvent& e : s_->trace) {
        if (e.event == "card_write") {
            out.push_back(e.packet);
        }
    }
    return out;
}

void Bench::send(const Bytes& raw, size_t deliver) {
    std::lock_guard<std::mutex> lock(s_->m);
    s_->queue_packet(raw, deliver);
}

void Bench::set_faults(const Faults& f) {
    std::lock_guard<std::mutex> lock(s_->m);
    s_->faults = f;
}

Faults Bench::faults() const {
    std::lock_guard<std::mutex> lock(s_->m);
    return s_->faults;
}

void Bench::set_temperature(double celsius) {
    std::lock_guard<std::mutex> lock(s_->m);
    s_->millidegrees = static_cast<int>(celsius * 1000.0 + (celsius < 0 ? -0.5 : 0.5));
    s_->write_temperature();
    TraceEvent ev;
    ev.event = "temperature";
    ev.value = s_->millidegrees;
    ev.detail = std::to_string(s_->millidegrees) + " millidegrees" +
                (s_->sensor_registered ? "" : " (sensor not registered yet)");
    s_->record(ev);
}

int Bench::line_reads() const {
    std::lock_guard<std::mutex> lock(s_->m);
    return s_->line_reads;
}

std::vector<StandinCall> Bench::standin_calls() const {
    std::vector<StandinCall> calls;
    std::istringstream in(read_file(s_->path("calls.jsonl")));
    std::string line;
    // Lines are written by the stand-ins as
    // {"program":"P","args":["a","b"],"status":N}; strings are JSON-escaped.
    auto parse_string = [](const std::string& l, size_t& i) {
        std::string out;
        for (++i; i < l.size() && l[i] != '"'; ++i) {
            if (l[i] == '\\' && i + 1 < l.size()) {
                ++i;
                char c = l[i];
                out.push_back(c == 'n' ? '\n' : c == 't' ? '\t' : c);
            } else {
                out.push_back(l[i]);
            }
        }
        ++i;
        return out;
    };
    while (std::getline(in, line)) {
        StandinCall c;
        c.line = line;
        size_t p = line.find("\"program\":\"");
        if (p == std::string::npos) {
            continue;
        }
        size_t i = p + 10;
        c.program = parse_string(line, i);
        size_t a = line.find("\"args\":[", i);
        if (a != std::string::npos) {
            i = a + 8;
            while (i < line.size() && line[i] != ']') {
                if (line[i] == '"') {
                    c.args.push_back(parse_string(line, i));
                } else {
                    ++i;
                }
            }
        }
        size_t st = line.find("\"status\":", i);
        if (st != std::string::npos) {
            c.status = atoi(line.c_str() + st + 9);
        }
        calls.push_back(c);
    }
    return calls;
}

std::string Bench::daemon_stdout() const {
    return read_file(s_->path("daemon.stdout"));
}
std::string Bench::daemon_stderr() const {
    return read_file(s_->path("daemon.stderr"));
}
std::string Bench::run_dir() const {
    return s_->run_dir;
}
std::string Bench::socket_path() const {
    return s_->sock_path;
}
const Scenario& Bench::scenario() const {
    return s_->scenario;
}

void sweep_stale_run_dirs(const std::string& base) {
    DIR* d = opendir(base.c_str());
    if (d == nullptr) {
        return;
    }
    std::vector<std::string> stale;
    while (dirent* e = readdir(d)) {
        std::string name = e->d_name;
        const std::string prefix = "pec-bench.";
        if (name.compare(0, prefix.size(), prefix) != 0) {
            continue;
        }
        char* end = nullptr;
        long pid = strtol(name.c_str() + prefix.size(), &end, 10);
        if (end == nullptr || *end != '.' || pid <= 0) {
            continue;
        }
        if (kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) {
            stale.push_back(base + "/" + name);
        }
    }
    closedir(d);
    for (const std::string& s : stale) {
        remove_tree(s);
    }
}

// ---- request script -----------------------------------------------------------------

std::string script_help() {
    return "Request script, one command a line (# starts a comment):\n"
           "  mode static|dhcp|N       network mode (one UINT8)\n"
           "  ip A.B.C.D               address         netmask A.B.C.D   gateway A.B.C.D\n"
           "  dns1 A.B.C.D             dns2 A.B.C.D\n"
           "  apply [N]                apply the network settings (UINT8, default 1)\n"
           "  hostname NAME            hostname request\n"
           "  ping                     a PING to the card\n"
           "  raw HEX...               any bytes, e.g. raw 0c 00 55 00 05 55 62 75 6e 74 75 00\n"
           "  garbage [N]              N random bytes (default 40)\n"
           "  truncated K HEX...       a packet of which only K bytes are handed over\n"
           "  node N                   node id of the following requests (default 1)\n"
           "  temp CELSIUS             sensor temperature\n"
           "  wait SECONDS             pause the script\n"
           "  wait-for ip A.B.C.D [S]  until the card reports this address (default 60 s)\n"
           "  fault write-fail N|always|off    fault write-short N|off   fault read-fail "
           "N|always|off\n"
           "  fault line-low on|off    fault line-read-fail on|off   fault smbus-fail on|off\n"
           "  fault idle 00|ff|nack    what an idle BMC returns on a read\n"
           "  echo TEXT                a note in the trace\n";
}

namespace {

bool parse_ipv4_text(const std::string& s) {
    int parts = 0;
    std::istringstream in(s);
    std::string p;
    while (std::getline(in, p, '.')) {
        char* end = nullptr;
        long v = strtol(p.c_str(), &end, 10);
        if (p.empty() || *end != '\0' || v < 0 || v > 255) {
            return false;
        }
        ++parts;
    }
    return parts == 4 && s.back() != '.';
}

bool parse_count(const std::string& s, int* out) {
    if (s == "always") {
        *out = -1;
        return true;
    }
    if (s == "off") {
        *out = 0;
        return true;
    }
    char* end = nullptr;
    long v = strtol(s.c_str(), &end, 10);
    if (s.empty() || *end != '\0' || v < 0 || v > 100000) {
        return false;
    }
    *out = static_cast<int>(v);
    return true;
}

bool parse_switch(const std::string& s, bool* out) {
    if (s == "on") {
        *out = true;
        return true;
    }
    if (s == "off") {
        *out = false;
        return true;
    }
    return false;
}

bool parse_double(const std::string& s, double* out) {
    char* end = nullptr;
    double v = strtod(s.c_str(), &end);
    if (s.empty() || *end != '\0') {
        return false;
    }
    *out = v;
    return true;
}

} // namespace

bool Bench::command(const std::string& raw_line, std::string* error) {
    std::string line = raw_line.substr(0, raw_line.find('#'));
    std::istringstream in(line);
    std::vector<std::string> w;
    std::string word;
    while (in >> word) {
        w.push_back(word);
    }
    auto bad = [&](const std::string& why) {
        if (error != nullptr) {
            *error = why + ": " + raw_line;
        }
        return false;
    };
    if (w.empty()) {
        return true;
    }
    const std::string& cmd = w[0];
    uint8_t node;
    {
        std::lock_guard<std::mutex> lock(s_->m);
        node = s_->node;
    }
    static const std::map<std::string, uint8_t> settings = {{"ip", proto::NET_IP},
                                                            {"netmask", proto::NET_NETMASK},
                                                            {"gateway", proto::NET_GATEWAY},
                                                            {"dns1", proto::NET_DNS1},
                                                            {"dns2", proto::NET_DNS2}};
    if (settings.count(cmd) != 0) {
        if (w.size() != 2 || !parse_ipv4_text(w[1])) {
            return bad("expected one dotted-quad address");
        }
        send(make_string_packet(node, proto::NETWORK, settings.at(cmd), w[1], true));
        return true;
    }
    if (cmd == "mode") {
        int v;
        if (w.size() != 2) {
            return bad("expected static, dhcp or a number");
        }
        if (w[1] == "static") {
            v = 1;
        } else if (w[1] == "dhcp") {
            v = 0;
        } else if (!parse_count(w[1], &v) || v > 255) {
            return bad("expected static, dhcp or a number");
        }
        send(make_packet(node, proto::WRITE, proto::UINT8, proto::NETWORK, proto::NET_MODE,
                         {static_cast<uint8_t>(v)}));
        return true;
    }
    if (cmd == "apply") {
        int v = 1;
        if (w.size() > 2 || (w.size() == 2 && (!parse_count(w[1], &v) || v > 255))) {
            return bad("expected an optional number");
        }
        send(make_packet(node, proto::WRITE, proto::UINT8, proto::NETWORK, proto::NET_APPLY,
                         {static_cast<uint8_t>(v)}));
        return true;
    }
    if (cmd == "hostname") {
        if (w.size() != 2) {
            return bad("expected one name");
        }
        send(make_string_packet(node, proto::NETWORK, proto::NET_HOSTNAME, w[1], true));
        return true;
    }
    if (cmd == "ping") {
        send(make_packet(node, proto::PING, 0, 0, 0, {}));
        return true;
    }
    if (cmd == "raw" || cmd == "truncated") {
        size_t first = cmd == "raw" ? 1 : 2;
        int k = 0;
        if (cmd == "truncated" && (w.size() < 3 || !parse_count(w[1], &k) || k <= 0)) {
            return bad("expected a byte count and bytes");
        }
        std::string rest;
        for (size_t i = first; i < w.size(); ++i) {
            rest += w[i] + " ";
        }
        Bytes b;
        if (!parse_hex(rest, &b) || b.empty() || b.size() > wire::max_payload) {
            return bad("expected hexadecimal bytes");
        }
        send(b, static_cast<size_t>(k));
        return true;
    }
    if (cmd == "garbage") {
        int n = 40;
        if (w.size() > 2 || (w.size() == 2 && (!parse_count(w[1], &n) || n < 1 || n > 256))) {
            return bad("expected a byte count of 1 to 256");
        }
        Bytes b(static_cast<size_t>(n));
        {
            std::lock_guard<std::mutex> lock(s_->m);
            for (uint8_t& x : b) {
                x = static_cast<uint8_t>(s_->rng());
            }
        }
        send(b);
        return true;
    }
    if (cmd == "node") {
        int v;
        if (w.size() != 2 || !parse_count(w[1], &v) || v > 127) {
            return bad("expected a node id of 0 to 127");
        }
        std::lock_guard<std::mutex> lock(s_->m);
        s_->node = static_cast<uint8_t>(v);
        return true;
    }
    if (cmd == "temp") {
        double c;
        if (w.size() != 2 || !parse_double(w[1], &c) || c < -100 || c > 200) {
            return bad("expected degrees Celsius");
        }
        set_temperature(c);
        return true;
    }
    if (cmd == "wait") {
        double sec;
        if (w.size() != 2 || !parse_double(w[1], &sec) || sec < 0 || sec > 3600) {
            return bad("expected seconds");
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(static_cast<long>(sec * 1000)));
        return true;
    }
    if (cmd == "wait-for") {
        double sec = 60;
        if (w.size() < 3 || w[1] != "ip" || !parse_ipv4_text(w[2]) ||
            (w.size() == 4 && !parse_double(w[3], &sec)) || w.size() > 4) {
            return bad("expected wait-for ip A.B.C.D [seconds]");
        }
        std::string want = w[2];
        size_t already = 0;
        {
            std::lock_guard<std::mutex> lock(s_->m);
            already = s_->trace.size();
        }
        size_t index = 0;
        bool ok = wait_for(
            [&](const TraceEvent& e) {
                return index++ >= already && e.event == "card_write" &&
                       e.packet.address() == proto::DESCRIPTION &&
                       e.packet.subaddress() == proto::DESC_IP_ADDRESS && e.packet.text() == want;
            },
            1, std::chrono::milliseconds(static_cast<long>(sec * 1000)));
        std::lock_guard<std::mutex> lock(s_->m);
        s_->note(ok ? "card reports " + want : "card did not report " + want + " in time");
        return true;
    }
    if (cmd == "echo") {
        std::lock_guard<std::mutex> lock(s_->m);
        s_->note(line.substr(line.find("echo") + 4));
        return true;
    }
    if (cmd == "fault") {
        if (w.size() != 3) {
            return bad("expected fault NAME VALUE");
        }
        Faults f = faults();
        bool ok;
        if (w[1] == "write-fail") {
            ok = parse_count(w[2], &f.write_fail);
        } else if (w[1] == "write-short") {
            ok = parse_count(w[2], &f.write_short) && f.write_short >= 0;
        } else if (w[1] == "read-fail") {
            ok = parse_count(w[2], &f.read_fail);
        } else if (w[1] == "line-low") {
            ok = parse_switch(w[2], &f.line_stuck_low);
        } else if (w[1] == "line-read-fail") {
            ok = parse_switch(w[2], &f.line_read_fail);
        } else if (w[1] == "smbus-fail") {
            ok = parse_switch(w[2], &f.smbus_fail);
        } else if (w[1] == "idle") {
            ok = true;
            if (w[2] == "nack") {
                f.idle_fill = -1;
            } else {
                Bytes b;
                ok = parse_hex(w[2], &b) && b.size() == 1;
                if (ok) {
                    f.idle_fill = b[0];
                }
            }
        } else {
            return bad("unknown fault");
        }
        if (!ok) {
            return bad("bad fault value");
        }
        set_faults(f);
        std::lock_guard<std::mutex> lock(s_->m);
        TraceEvent ev;
        ev.event = "fault";
        ev.detail = w[1] + " " + w[2];
        s_->record(ev);
        return true;
    }
    return bad("unknown command");
}

bool Bench::run_script(const std::string& text, std::string* error) {
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (!command(line, error)) {
            return false;
        }
    }
    return true;
}

} // namespace pec_bench
