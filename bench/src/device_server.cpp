// The far end of the device interposer: connections, and one handler for
// each kind of request (hello, I2C, SMBus, GPIO), routed by a table.

#include "device_server.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <linux/gpio.h>
#include <poll.h>
#include <stdexcept>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

namespace pec_bench {

namespace {

constexpr unsigned gpio_lines = 8;
constexpr std::chrono::milliseconds tick_interval(50);

const char* device_name(DeviceServer::Kind kind) {
    switch (kind) {
    case DeviceServer::Kind::I2C:
        return "i2c-0";
    case DeviceServer::Kind::CHIP:
        return "gpiochip0";
    default:
        return "line";
    }
}

// A struct from the payload; false when the payload is too short for it.
template <typename T>
bool take(const DeviceServer::Payload& p, T* out) {
    if (p.len < sizeof(T)) {
        return false;
    }
    memcpy(out, p.data, sizeof(T));
    return true;
}

// What a line handle or line event request asks for.
struct LineRequest {
    unsigned line = 0;
    uint32_t flags = 0;
    std::string label;
};

bool parse_line_request(const wire::Request& req, const DeviceServer::Payload& p,
                        LineRequest* out) {
    gpiohandle_request hr{};
    gpioevent_request er{};
    if (req.op == wire::OP_HELLO_LINEHANDLE && take(p, &hr)) {
        if (hr.lines != 1) {
            return false;
        }
        out->line = hr.lineoffsets[0];
        out->flags = hr.flags;
        out->label.assign(hr.consumer_label, strnlen(hr.consumer_label, sizeof(hr.consumer_label)));
        return true;
    }
    if (req.op == wire::OP_HELLO_LINEEVENT && take(p, &er)) {
        out->line = er.lineoffset;
        out->flags = er.handleflags;
        out->label.assign(er.consumer_label, strnlen(er.consumer_label, sizeof(er.consumer_label)));
        return true;
    }
    return false;
}

} // namespace

const DeviceServer::Route DeviceServer::routes[] = {
    {wire::OP_I2C_SET_SLAVE, Kind::I2C, &DeviceServer::set_slave},
    {wire::OP_I2C_WRITE, Kind::I2C, &DeviceServer::i2c_write},
    {wire::OP_I2C_READ, Kind::I2C, &DeviceServer::i2c_read},
    {wire::OP_I2C_SMBUS, Kind::I2C, &DeviceServer::smbus},
    {wire::OP_GPIO_CHIPINFO, Kind::CHIP, &DeviceServer::chip_info},
    {wire::OP_GPIO_GET_VALUES, Kind::LINE, &DeviceServer::get_values},
    {wire::OP_GPIO_SET_VALUES, Kind::LINE, &DeviceServer::set_values},
};

// ---- connections ------------------------------------------------------------

DeviceServer::DeviceServer(const std::string& socket_path, const Scenario& scenario, Board& board,
                           Trace& trace)
    : path_(socket_path), scenario_(scenario), board_(board), trace_(trace) {
    // A socket left by a simulator that was killed (a path outside the run
    // directory survives it) would make bind fail.
    struct stat st {};
    if (lstat(socket_path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode)) {
        unlink(socket_path.c_str());
    }
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (socket_path.size() >= sizeof(addr.sun_path)) {
        throw std::runtime_error("socket path too long: " + socket_path);
    }
    memcpy(addr.sun_path, socket_path.c_str(), socket_path.size() + 1);
    listen_.reset(socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
    if (!listen_.valid() ||
        bind(listen_.get(), reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
        listen(listen_.get(), 16) != 0) {
        throw std::runtime_error("cannot listen on " + socket_path + ": " + strerror(errno));
    }
    // The daemon's processes reach it from inside the sandbox.
    chmod(socket_path.c_str(), 0666);
    wake_.reset(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!wake_.valid()) {
        throw std::runtime_error(std::string("cannot create an eventfd: ") + strerror(errno));
    }
}

DeviceServer::~DeviceServer() {
    stopping_.store(true);
    uint64_t one = 1;
    ssize_t ignored = ::write(wake_.get(), &one, sizeof(one));
    static_cast<void>(ignored);
    if (loop_.joinable()) {
        loop_.join();
    }
    unlink(path_.c_str());
}

void DeviceServer::start(std::function<void()> tick) {
    tick_ = std::move(tick);
    loop_ = std::thread([this] { serve(); });
}

void DeviceServer::serve() {
    auto last_tick = std::chrono::steady_clock::now();
    while (!stopping_.load()) {
        std::vector<pollfd> fds = {{listen_.get(), POLLIN, 0}, {wake_.get(), POLLIN, 0}};
        for (const auto& kv : conns_) {
            fds.push_back({kv.first, POLLIN, 0});
        }
        poll(fds.data(), fds.size(), static_cast<int>(tick_interval.count()));
        if (fds[1].revents != 0) {
            uint64_t v;
            ssize_t ignored = ::read(wake_.get(), &v, sizeof(v));
            static_cast<void>(ignored);
        }
        if ((fds[0].revents & POLLIN) != 0) {
            accept_connection();
        }
        for (size_t i = 2; i < fds.size(); ++i) {
            if (fds[i].revents != 0) {
                receive(fds[i].fd);
            }
        }
        auto now = std::chrono::steady_clock::now();
        if (now - last_tick > tick_interval && tick_) {
            last_tick = now;
            tick_();
        }
    }
}

void DeviceServer::accept_connection() {
    int fd = accept4(listen_.get(), nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) {
        conns_[fd].fd.reset(fd);
    }
}

void DeviceServer::receive(int fd) {
    auto it = conns_.find(fd);
    if (it == conns_.end()) {
        return;
    }
    uint8_t msg[wire::max_message];
    ssize_t n = recv(fd, msg, sizeof(msg), MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
        return;
    }
    if (n <= 0) {
        close_connection(fd);
        return;
    }
    handle(it->second, msg, static_cast<size_t>(n));
}

// The card closed the descriptor (or its process ended).
void DeviceServer::close_connection(int fd) {
    const Conn& c = conns_.at(fd);
    if (c.kind != Kind::NEW) {
        TraceEvent ev;
        ev.event = "close";
        ev.device = device_name(c.kind);
        ev.value = c.pid;
        trace_.record(ev);
    }
    conns_.erase(fd);
}

void DeviceServer::handle(Conn& c, const uint8_t* msg, size_t len) {
    wire::Request req{};
    if (len < sizeof(req)) {
        reply(c, -EINVAL);
        return;
    }
    memcpy(&req, msg, sizeof(req));
    Payload p{msg + sizeof(req), len - sizeof(req)};
    if (c.kind == Kind::NEW) {
        hello(c, req, p);
        return;
    }
    for (const Route& r : routes) {
        if (r.op == req.op && r.kind == c.kind) {
            (this->*r.handle)(c, req, p);
            return;
        }
    }
    reply(c, -ENOTTY);
}

void DeviceServer::reply(const Conn& c, int32_t result, const void* payload, size_t len) {
    wire::Reply r{result};
    iovec iov[2] = {{&r, sizeof(r)}, {const_cast<void*>(payload), len}};
    msghdr msg{};
    msg.msg_iov = iov;
    msg.msg_iovlen = len > 0 ? 2 : 1;
    sendmsg(c.fd.get(), &msg, MSG_NOSIGNAL);
}

// ---- hello --------------------------------------------------------------------

void DeviceServer::opened(Conn& c, Kind kind, const char* device) {
    c.kind = kind;
    TraceEvent ev;
    ev.event = "open";
    ev.device = device;
    ev.value = c.pid;
    ev.detail = "pid " + std::to_string(c.pid);
    trace_.record(ev);
    reply(c, 0);
}

// The first message: adapter 0, chip 0 (where the scenario has it), or a line.
void DeviceServer::hello(Conn& c, const wire::Request& req, const Payload& p) {
    c.pid = req.arg1;
    switch (req.op) {
    case wire::OP_HELLO_I2C:
        if (req.arg0 != 0) {
            reply(c, -ENOENT);
            return;
        }
        opened(c, Kind::I2C, "i2c-0");
        return;
    case wire::OP_HELLO_GPIOCHIP:
        if (!scenario_.gpio_present || req.arg0 != 0) {
            reply(c, -ENOENT);
            return;
        }
        opened(c, Kind::CHIP, "gpiochip0");
        return;
    case wire::OP_HELLO_LINEHANDLE:
    case wire::OP_HELLO_LINEEVENT:
        line_hello(c, req, p);
        return;
    default:
        reply(c, -EINVAL);
        return;
    }
}

// One line of the chip, held by one request at a time, as the kernel does.
void DeviceServer::line_hello(Conn& c, const wire::Request& req, const Payload& p) {
    LineRequest lr;
    if (!parse_line_request(req, p, &lr) || lr.line >= gpio_lines) {
        reply(c, -EINVAL);
        return;
    }
    bool taken = std::any_of(conns_.begin(), conns_.end(), [&lr](const auto& kv) {
        return kv.second.kind == Kind::LINE && kv.second.line == lr.line;
    });
    if (taken) {
        reply(c, -EBUSY);
        return;
    }
    c.kind = Kind::LINE;
    c.line = lr.line;
    c.output = (lr.flags & GPIOHANDLE_REQUEST_OUTPUT) != 0;
    TraceEvent ev;
    ev.event = "line_request";
    ev.device = "line";
    ev.value = static_cast<int>(lr.line);
    ev.detail = std::string(req.op == wire::OP_HELLO_LINEEVENT ? "event" : "handle") + " line " +
                std::to_string(lr.line) + " \"" + lr.label + "\" " +
                (c.output ? "output" : "input");
    trace_.record(ev);
    reply(c, 0);
}

// ---- I2C ----------------------------------------------------------------------

void DeviceServer::set_slave(Conn& c, const wire::Request& req, const Payload&) {
    if (c.slave != req.arg0) {
        TraceEvent ev;
        ev.event = "slave";
        ev.device = "i2c-0";
        ev.value = req.arg0;
        trace_.record(ev);
    }
    c.slave = req.arg0;
    reply(c, 0);
}

void DeviceServer::i2c_write(Conn& c, const wire::Request& req, const Payload& p) {
    reply(c, board_.card_write(req.arg0, Bytes(p.data, p.data + p.len)));
}

void DeviceServer::i2c_read(Conn& c, const wire::Request& req, const Payload&) {
    auto n = static_cast<size_t>(std::max(0, std::min<int>(req.arg1, wire::max_payload)));
    Bytes out;
    int result = board_.card_read(req.arg0, n, &out);
    if (result < 0) {
        reply(c, result);
    } else {
        reply(c, result, out.data(), out.size());
    }
}

// ---- SMBus --------------------------------------------------------------------

// arg1 is the direction, arg2 the command and the transfer size (size << 8).
void DeviceServer::smbus(Conn& c, const wire::Request& req, const Payload& p) {
    i2c_smbus_data data{};
    take(p, &data);
    int result = board_.smbus(req.arg0, req.arg1 == I2C_SMBUS_READ, req.arg2 >> 8, &data);
    reply(c, result, &data, sizeof(data));
}

// ---- GPIO ---------------------------------------------------------------------

void DeviceServer::chip_info(Conn& c, const wire::Request&, const Payload&) {
    gpiochip_info info{};
    snprintf(info.name, sizeof(info.name), "gpiochip0");
    snprintf(info.label, sizeof(info.label), "pec-bench");
    info.lines = gpio_lines;
    reply(c, 0, &info, sizeof(info));
}

void DeviceServer::get_values(Conn& c, const wire::Request&, const Payload&) {
    int v = board_.line_value(c.line);
    if (v < 0) {
        reply(c, v);
        return;
    }
    gpiohandle_data values{};
    values.values[0] = static_cast<uint8_t>(v);
    reply(c, 0, &values, sizeof(values));
}

void DeviceServer::set_values(Conn& c, const wire::Request&, const Payload&) {
    reply(c, c.output ? 0 : -EPERM);
}

} // namespace pec_bench
