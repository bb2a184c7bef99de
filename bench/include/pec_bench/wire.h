// Messages between the device interposer (inside the card's process) and the
// simulator. Every connection is an AF_UNIX SOCK_SEQPACKET socket; one request
// message gets exactly one reply message, so a bus transfer stays one message
// in each direction and a packet never merges with its neighbours.
#pragma once

#include <cstdint>

namespace pec_bench {
namespace wire {

// Environment variable naming the simulator's socket; the default is used
// when it is unset.
constexpr const char* socket_env = "PEC_BENCH_SOCKET";
constexpr const char* default_socket_path = "/run/pec-bench/sim.sock";

enum Op : uint8_t {
    // First message of a connection: what the descriptor stands for.
    OP_HELLO_I2C = 1,        // arg0: adapter number
    OP_HELLO_GPIOCHIP = 2,   // arg0: chip number
    OP_HELLO_LINEHANDLE = 3, // payload: struct gpiohandle_request (fd ignored)
    OP_HELLO_LINEEVENT = 4,  // payload: struct gpioevent_request (fd ignored)
    // I2C adapter
    OP_I2C_SET_SLAVE = 10, // arg0: address, arg1: 1 for I2C_SLAVE_FORCE
    OP_I2C_WRITE = 11,     // arg0: slave; payload: the bytes written
    OP_I2C_READ = 12,      // arg0: slave; arg1: bytes asked for; reply payload: bytes read
    OP_I2C_SMBUS = 13,     // arg0: slave; arg1: read_write; arg2: command | size << 8;
                           // payload and reply payload: union i2c_smbus_data (34 bytes)
    // GPIO
    OP_GPIO_CHIPINFO = 20,   // reply payload: struct gpiochip_info
    OP_GPIO_GET_VALUES = 21, // reply payload: struct gpiohandle_data
    OP_GPIO_SET_VALUES = 22, // payload: struct gpiohandle_data
};

struct Request {
    uint8_t op;
    uint8_t pad[3];
    int32_t arg0;
    int32_t arg1;
    int32_t arg2;
};

// result: 0 or a byte count on success, minus the errno value on failure.
struct Reply {
    int32_t result;
};

// Largest message either way: header plus a read of a few kilobytes.
constexpr unsigned max_payload = 4096;
constexpr unsigned max_message = sizeof(Request) + max_payload;

} // namespace wire
} // namespace pec_bench
