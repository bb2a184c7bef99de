// The far end of the device interposer: a SOCK_SEQPACKET server on the run
// directory's sim.sock. Each connection stands for one descriptor the card
// opened: the I2C adapter, the GPIO chip or a GPIO line. Its first message
// (hello) says which; every further request gets exactly one reply, with the
// board's answer. One thread serves every connection and, in between, runs
// the bench's periodic work.
#pragma once

#include "board.h"
#include "os_wrappers.h"
#include "pec_bench/wire.h"
#include "trace.h"

#include <atomic>
#include <functional>
#include <map>
#include <string>
#include <thread>

namespace pec_bench {

class DeviceServer {
public:
    // Listens on `socket_path` (a stale socket there is replaced);
    // std::runtime_error when it cannot.
    DeviceServer(const std::string& socket_path, const Scenario& scenario, Board& board,
                 Trace& trace);
    // Stops the thread; closes the socket and every connection, and removes
    // the socket file.
    ~DeviceServer();
    DeviceServer(const DeviceServer&) = delete;
    DeviceServer& operator=(const DeviceServer&) = delete;

    // Starts serving; `tick` runs on the server's thread about every 50 ms.
    void start(std::function<void()> tick);

    enum class Kind { NEW, I2C, CHIP, LINE };
    struct Conn {
        Unique_Fd fd;
        Kind kind = Kind::NEW;
        int pid = 0;    // of the process that opened the device
        int slave = -1; // I2C: the address last selected
        unsigned line = 0;
        bool output = false; // line requested as an output
    };
    // A request's bytes after its header.
    struct Payload {
        const uint8_t* data;
        size_t len;
    };
    using Handler = void (DeviceServer::*)(Conn&, const wire::Request&, const Payload&);

private:
    void serve();
    void accept_connection();
    void receive(int fd);
    void close_connection(int fd);
    void handle(Conn& c, const uint8_t* msg, size_t len);
    void reply(const Conn& c, int32_t result, const void* payload = nullptr, size_t len = 0);
    void opened(Conn& c, Kind kind, const char* device);

    // hello
    void hello(Conn& c, const wire::Request& req, const Payload& p);
    void line_hello(Conn& c, const wire::Request& req, const Payload& p);
    // I2C
    void set_slave(Conn& c, const wire::Request& req, const Payload& p);
    void i2c_write(Conn& c, const wire::Request& req, const Payload& p);
    void i2c_read(Conn& c, const wire::Request& req, const Payload& p);
    // SMBus
    void smbus(Conn& c, const wire::Request& req, const Payload& p);
    // GPIO
    void chip_info(Conn& c, const wire::Request& req, const Payload& p);
    void get_values(Conn& c, const wire::Request& req, const Payload& p);
    void set_values(Conn& c, const wire::Request& req, const Payload& p);

    struct Route {
        uint8_t op;
        Kind kind; // of the connection the request is valid on
        Handler handle;
    };
    static const Route routes[];

    const std::string path_;
    const Scenario& scenario_;
    Board& board_;
    Trace& trace_;
    Unique_Fd listen_;
    Unique_Fd wake_;            // eventfd that ends the wait in poll
    std::map<int, Conn> conns_; // by descriptor; only the server's thread touches them
    std::function<void()> tick_;
    std::atomic<bool> stopping_{false};
    std::thread loop_;
};

} // namespace pec_bench
