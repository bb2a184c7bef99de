// LD_PRELOAD interposer that stands in for the I2C adapter "/dev/i2c-0" and the
// GPIO chip "/dev/gpiochip0" of the card.
//
// Opening one of the two paths connects an AF_UNIX SOCK_SEQPACKET socket to
// the simulator and hands that socket out as the descriptor. Reads, writes
// and ioctls on it become one request message and one reply each, so a bus
// transfer keeps its boundaries. A GPIO line request opens a further
// connection for the line, which stays valid after the chip is closed, as the
// kernel's line descriptors do. Every other path and descriptor goes straight
// to the C library; so does everything when this library was preloaded into a
// program that never opens the two devices (shells started through popen).
//
// With PEC_BENCH_GPIO=kernel the GPIO chip is the kernel's own (a machine
// that has one, such as an emulated board): the chip, its line requests and
// value reads go to the real device, and each requested line also gets a
// connection to the simulator. Nothing drives the kernel's line (an emulated
// board pulls its free lines low), so the level the card sees is the one the
// simulated BMC drives.
//
// With PEC_BENCH_I2C=kernel the machine has a kernel I2C adapter 0 whose bus
// nothing answers on (an emulated board's bit-banged bus): opening
// "/dev/i2c-0" opens the kernel's node as well, so that its existence, the
// device policy and the open's failure are the kernel's, and each slave
// selection goes to the kernel first (its refusal is the card's) and then to
// the simulator. The transfers themselves, the sensor's probe among them, go
// to the simulator.
//
// The real functions are looked up once; each interposed descriptor has its
// own lock, because the link thread and the main thread of the card both make
// calls.

#include "pec_bench/wire.h"

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <linux/gpio.h>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <mutex>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

using open_fn = int (*)(const char*, int, ...);
using openat_fn = int (*)(int, const char*, int, ...);
using close_fn = int (*)(int);
using read_fn = ssize_t (*)(int, void*, size_t);
using write_fn = ssize_t (*)(int, const void*, size_t);
using ioctl_fn = int (*)(int, unsigned long, ...);

struct Real {
    open_fn open;
    open_fn open64;
    openat_fn openat;
    openat_fn openat64;
    close_fn close;
    read_fn read;
    write_fn write;
    ioctl_fn ioctl;
};

Real real;
pthread_once_t real_once = PTHREAD_ONCE_INIT;

void resolve_real() {
    real.open = reinterpret_cast<open_fn>(dlsym(RTLD_NEXT, "open"));
    real.open64 = reinterpret_cast<open_fn>(dlsym(RTLD_NEXT, "open64"));
    real.openat = reinterpret_cast<openat_fn>(dlsym(RTLD_NEXT, "openat"));
    real.openat64 = reinterpret_cast<openat_fn>(dlsym(RTLD_NEXT, "openat64"));
    real.close = reinterpret_cast<close_fn>(dlsym(RTLD_NEXT, "close"));
    real.read = reinterpret_cast<read_fn>(dlsym(RTLD_NEXT, "read"));
    real.write = reinterpret_cast<write_fn>(dlsym(RTLD_NEXT, "write"));
    real.ioctl = reinterpret_cast<ioctl_fn>(dlsym(RTLD_NEXT, "ioctl"));
}

const Real& libc() {
    pthread_once(&real_once, resolve_real);
    return real;
}

// ---- raw socket calls -------------------------------------------------------

int connect_simulator(bool cloexec) {
    const char* path = getenv(pec_bench::wire::socket_env);
    if (path == nullptr || path[0] == '\0') {
        path = pec_bench::wire::default_socket_path;
    }
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    size_t len = strlen(path);
    if (len >= sizeof(addr.sun_path)) {
        return -1;
    }
    memcpy(addr.sun_path, path, len + 1);
    int fd = socket(AF_UNIX, SOCK_SEQPACKET | (cloexec ? SOCK_CLOEXEC : 0), 0);
    if (fd < 0) {
        return -1;
    }
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
        libc().close(fd);
        return -1;
    }
    return fd;
}

// One request out, one reply back. Returns the reply's result (minus errno on
// failure), or -EIO when the simulator is gone.
int exchange(int fd, const pec_bench::wire::Request& req, const void* payload, size_t payload_len,
             void* reply_payload, size_t reply_cap, size_t* reply_len) {
    iovec out[2] = {{const_cast<pec_bench::wire::Request*>(&req), sizeof(req)},
                    {const_cast<void*>(payload), payload_len}};
    msghdr msg{};
    msg.msg_iov = out;
    msg.msg_iovlen = payload_len > 0 ? 2 : 1;
    if (sendmsg(fd, &msg, MSG_NOSIGNAL) < 0) {
        return -EIO;
    }
    pec_bench::wire::Reply reply{};
    iovec in[2] = {{&reply, sizeof(reply)}, {reply_payload, reply_cap}};
    msghdr rmsg{};
    rmsg.msg_iov = in;
    rmsg.msg_iovlen = reply_cap > 0 ? 2 : 1;
    ssize_t got;
    do {
        got = recvmsg(fd, &rmsg, 0);
    } while (got < 0 && errno == EINTR);
    if (got < static_cast<ssize_t>(sizeof(reply))) {
        return -EIO;
    }
    if (reply_len != nullptr) {
        *reply_len = static_cast<size_t>(got) - sizeof(reply);
    }
    return reply.result;
}

pec_bench::wire::Request request(pec_bench::wire::Op op, int32_t arg0 = 0, int32_t arg1 = 0,
                                 int32_t arg2 = 0) {
    pec_bench::wire::Request req{};
    req.op = op;
    req.arg0 = arg0;
    req.arg1 = arg1;
    req.arg2 = arg2;
    return req;
}

// ---- descriptor table -------------------------------------------------------

enum Kind : int { NONE = 0, I2C = 1, GPIOCHIP = 2, LINE = 3, KERNEL_CHIP = 4, KERNEL_LINE = 5 };

struct Slot {
    std::mutex lock;
    dev_t dev;
    ino_t ino;
    std::atomic<int> kind;
    int slave;
    int companion; // KERNEL_LINE: the simulator's connection for the line;
                   // I2C: the kernel's node, with PEC_BENCH_I2C=kernel
};

constexpr int max_fds = 4096;
Slot slots[max_fds];

bool same_socket(int fd, const Slot& s) {
    struct stat st {};
    return fstat(fd, &st) == 0 && st.st_dev == s.dev && st.st_ino == s.ino;
}

// The slot of an interposed descriptor, or null. A descriptor number that was
// closed behind our back (dup2, close_range) and reused for another file is
// forgotten here.
Slot* find(int fd) {
    if (fd < 0 || fd >= max_fds || slots[fd].kind.load(std::memory_order_acquire) == NONE) {
        return nullptr;
    }
    Slot& s = slots[fd];
    if (!same_socket(fd, s)) {
        s.kind.store(NONE, std::memory_order_release);
        return nullptr;
    }
    return &s;
}

bool remember(int fd, Kind kind) {
    if (fd < 0 || fd >= max_fds) {
        return false;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0) {
        return false;
    }
    Slot& s = slots[fd];
    std::lock_guard<std::mutex> guard(s.lock);
    s.dev = st.st_dev;
    s.ino = st.st_ino;
    s.slave = -1;
    s.companion = -1;
    s.kind.store(kind, std::memory_order_release);
    return true;
}

int fail(int err) {
    errno = err;
    return -1;
}

// The C library's way to give a result: -1 with errno set for a failed
// exchange, else `ok`.
int result_of(int r, int ok) {
    return r < 0 ? fail(-r) : ok;
}

// An exchange that only tells whether the simulator did it.
int command(int fd, const pec_bench::wire::Request& req, const void* payload = nullptr,
            size_t len = 0) {
    return result_of(exchange(fd, req, payload, len, nullptr, 0, nullptr), 0);
}

// An exchange whose answer is one kernel structure `T`, handed to the
// caller's `out` as the ioctl would fill it.
template <typename T>
int fetch(int fd, const pec_bench::wire::Request& req, void* out) {
    T answer{};
    size_t got = 0;
    int r = exchange(fd, req, nullptr, 0, &answer, sizeof(answer), &got);
    if (r < 0) {
        return fail(-r);
    }
    memcpy(out, &answer, sizeof(answer));
    return 0;
}

// Connects and announces what the connection stands for: the connection, or
// minus errno.
int connect_device(pec_bench::wire::Op hello, int arg0, const void* payload, size_t len,
                   bool cloexec, int missing_errno) {
    int fd = connect_simulator(cloexec);
    if (fd < 0) {
        return -missing_errno;
    }
    int r = exchange(fd, request(hello, arg0, getpid()), payload, len, nullptr, 0, nullptr);
    if (r < 0) {
        libc().close(fd);
        return r;
    }
    return fd;
}

// Connects, announces what the descriptor is and remembers it.
int open_device(Kind kind, pec_bench::wire::Op hello, int arg0, const void* payload, size_t len,
                bool cloexec, int missing_errno) {
    int fd = connect_device(hello, arg0, payload, len, cloexec, missing_errno);
    if (fd < 0) {
        return fail(-fd);
    }
    if (!remember(fd, kind)) {
        libc().close(fd);
        return fail(EMFILE);
    }
    return fd;
}

bool kernel_device(const char* variable) {
    const char* v = getenv(variable);
    return v != nullptr && strcmp(v, "kernel") == 0;
}

bool kernel_gpio() {
    return kernel_device("PEC_BENCH_GPIO");
}

int device_kind(const char* path) {
    if (path == nullptr) {
        return NONE;
    }
    if (strcmp(path, "/dev/i2c-0") == 0) {
        return I2C;
    }
    if (strcmp(path, "/dev/gpiochip0") == 0) {
        return GPIOCHIP;
    }
    return NONE;
}

int open_interposed(int kind, int flags) {
    bool cloexec = (flags & O_CLOEXEC) != 0;
    Kind device = kind == I2C ? I2C : GPIOCHIP;
    pec_bench::wire::Op hello =
        kind == I2C ? pec_bench::wire::OP_HELLO_I2C : pec_bench::wire::OP_HELLO_GPIOCHIP;
    return open_device(device, hello, 0, nullptr, 0, cloexec, ENOENT);
}

// The bus as the card opens it with PEC_BENCH_I2C=kernel: the kernel's node
// (opened by `open_kernel`, the C library's call), paired with the
// simulator's connection.
template <typename Open>
int open_kernel_i2c(int flags, Open open_kernel) {
    int node = open_kernel();
    if (node < 0) {
        return -1;
    }
    int fd = open_interposed(I2C, flags);
    if (fd < 0) {
        int err = errno;
        libc().close(node);
        return fail(err);
    }
    slots[fd].companion = node;
    return fd;
}

// Remembers `fd`, the kernel's GPIO chip as the C library opened it (or its
// failure, passed on).
int open_kernel_chip(int fd) {
    if (fd >= 0 && !remember(fd, KERNEL_CHIP)) {
        libc().close(fd);
        return fail(EMFILE);
    }
    return fd;
}

// The exported open functions: one of the card's devices when `path` names
// it, else the C library's function `pass` with the caller's arguments.
int open_path(const char* path, int flags, mode_t mode, open_fn pass) {
    int kind = device_kind(path);
    if (kind == GPIOCHIP && kernel_gpio()) {
        return open_kernel_chip(pass(path, flags, mode));
    }
    if (kind == I2C && kernel_device("PEC_BENCH_I2C")) {
        return open_kernel_i2c(flags, [&] { return pass(path, flags, mode); });
    }
    return kind != NONE ? open_interposed(kind, flags) : pass(path, flags, mode);
}

int openat_path(int dirfd, const char* path, int flags, mode_t mode, openat_fn pass) {
    int kind = device_kind(path);
    if (kind == GPIOCHIP && kernel_gpio()) {
        return open_kernel_chip(pass(dirfd, path, flags, mode));
    }
    if (kind == I2C && kernel_device("PEC_BENCH_I2C")) {
        return open_kernel_i2c(flags, [&] { return pass(dirfd, path, flags, mode); });
    }
    return kind != NONE ? open_interposed(kind, flags) : pass(dirfd, path, flags, mode);
}

mode_t mode_arg(int flags, va_list ap) {
    if ((flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE) {
        return static_cast<mode_t>(va_arg(ap, int));
    }
    return 0;
}

// ---- I2C --------------------------------------------------------------------

ssize_t i2c_write(Slot& s, int fd, const void* buf, size_t n) {
    if (n > pec_bench::wire::max_payload) {
        return fail(EINVAL);
    }
    std::lock_guard<std::mutex> guard(s.lock);
    int r =
        exchange(fd, request(pec_bench::wire::OP_I2C_WRITE, s.slave), buf, n, nullptr, 0, nullptr);
    return result_of(r, r);
}

ssize_t i2c_read(Slot& s, int fd, void* buf, size_t n) {
    if (n > pec_bench::wire::max_payload) {
        n = pec_bench::wire::max_payload;
    }
    std::lock_guard<std::mutex> guard(s.lock);
    size_t got = 0;
    int r = exchange(fd, request(pec_bench::wire::OP_I2C_READ, s.slave, static_cast<int32_t>(n)),
                     nullptr, 0, buf, n, &got);
    if (r < 0) {
        return fail(-r);
    }
    return static_cast<ssize_t>(got < static_cast<size_t>(r) ? got : static_cast<size_t>(r));
}

int select_slave(Slot& s, int fd, unsigned long op, long addr) {
    if (addr < 0 || addr > 0x7F) {
        return fail(EINVAL);
    }
    if (s.companion >= 0 && libc().ioctl(s.companion, op, addr) < 0) {
        return -1;
    }
    if (command(fd, request(pec_bench::wire::OP_I2C_SET_SLAVE, static_cast<int32_t>(addr),
                            op == I2C_SLAVE_FORCE ? 1 : 0)) != 0) {
        return -1;
    }
    s.slave = static_cast<int>(addr);
    return 0;
}

int i2c_smbus(Slot& s, int fd, i2c_smbus_ioctl_data* data) {
    if (data == nullptr) {
        return fail(EFAULT);
    }
    i2c_smbus_data block{};
    if (data->data != nullptr) {
        memcpy(&block, data->data, sizeof(block));
    }
    pec_bench::wire::Request req = request(pec_bench::wire::OP_I2C_SMBUS, s.slave, data->read_write,
                                           static_cast<int32_t>(data->command | (data->size << 8)));
    i2c_smbus_data answer{};
    size_t got = 0;
    int r = exchange(fd, req, &block, sizeof(block), &answer, sizeof(answer), &got);
    if (r < 0) {
        return fail(-r);
    }
    if (data->read_write == I2C_SMBUS_READ && data->data != nullptr && got == sizeof(answer)) {
        memcpy(data->data, &answer, sizeof(answer));
    }
    return 0;
}

int i2c_ioctl(Slot& s, int fd, unsigned long op, void* arg) {
    std::lock_guard<std::mutex> guard(s.lock);
    switch (op) {
    case I2C_SLAVE:
    case I2C_SLAVE_FORCE:
        return select_slave(s, fd, op, reinterpret_cast<long>(arg));
    case I2C_FUNCS:
        if (arg == nullptr) {
            return fail(EFAULT);
        }
        *static_cast<unsigned long*>(arg) = I2C_FUNC_I2C | I2C_FUNC_SMBUS_QUICK |
                                            I2C_FUNC_SMBUS_BYTE | I2C_FUNC_SMBUS_BYTE_DATA |
                                            I2C_FUNC_SMBUS_WORD_DATA;
        return 0;
    case I2C_SMBUS:
        return i2c_smbus(s, fd, static_cast<i2c_smbus_ioctl_data*>(arg));
    default:
        return fail(ENOTTY);
    }
}

// ---- GPIO -------------------------------------------------------------------

// A line handle or line event request (`Line_Request` is the kernel's
// structure of the one or the other): a further connection that stands for
// the line, handed back in the request's fd.
template <typename Line_Request>
int open_line(pec_bench::wire::Op hello, void* arg) {
    auto* lr = static_cast<Line_Request*>(arg);
    int line = open_device(LINE, hello, 0, lr, sizeof(*lr), true, ENODEV);
    if (line < 0) {
        return -1;
    }
    lr->fd = line;
    return 0;
}

int gpio_chip_ioctl(int fd, unsigned long op, void* arg) {
    switch (op) {
    case GPIO_GET_CHIPINFO_IOCTL:
        return fetch<gpiochip_info>(fd, request(pec_bench::wire::OP_GPIO_CHIPINFO), arg);
    case GPIO_GET_LINEHANDLE_IOCTL:
        return open_line<gpiohandle_request>(pec_bench::wire::OP_HELLO_LINEHANDLE, arg);
    case GPIO_GET_LINEEVENT_IOCTL:
        return open_line<gpioevent_request>(pec_bench::wire::OP_HELLO_LINEEVENT, arg);
    default:
        return fail(ENOTTY);
    }
}

int gpio_line_ioctl(int fd, unsigned long op, void* arg) {
    switch (op) {
    case GPIOHANDLE_GET_LINE_VALUES_IOCTL:
        return fetch<gpiohandle_data>(fd, request(pec_bench::wire::OP_GPIO_GET_VALUES), arg);
    case GPIOHANDLE_SET_LINE_VALUES_IOCTL:
        return command(fd, request(pec_bench::wire::OP_GPIO_SET_VALUES), arg,
                       sizeof(gpiohandle_data));
    default:
        return fail(ENOTTY);
    }
}

// A line requested from the kernel's chip: the kernel's line descriptor,
// paired with a connection that tells the simulator about the request.
template <typename Line_Request>
int open_kernel_line(int chip, unsigned long op, pec_bench::wire::Op hello, void* arg) {
    if (libc().ioctl(chip, op, arg) < 0) {
        return -1;
    }
    auto* lr = static_cast<Line_Request*>(arg);
    int line = lr->fd;
    int sim = connect_device(hello, 0, lr, sizeof(*lr), true, ENODEV);
    if (sim < 0 || !remember(line, KERNEL_LINE)) {
        libc().close(line);
        if (sim >= 0) {
            libc().close(sim);
        }
        return fail(sim < 0 ? -sim : EMFILE);
    }
    slots[line].companion = sim;
    return 0;
}

int kernel_chip_ioctl(int fd, unsigned long op, void* arg) {
    switch (op) {
    case GPIO_GET_LINEHANDLE_IOCTL:
        return open_kernel_line<gpiohandle_request>(fd, op, pec_bench::wire::OP_HELLO_LINEHANDLE,
                                                    arg);
    case GPIO_GET_LINEEVENT_IOCTL:
        return open_kernel_line<gpioevent_request>(fd, op, pec_bench::wire::OP_HELLO_LINEEVENT,
                                                   arg);
    default:
        return libc().ioctl(fd, op, arg);
    }
}

// The kernel's line is read, and its failure is the card's; the level handed
// back is the simulated BMC's.
int kernel_line_ioctl(const Slot& s, int fd, unsigned long op, void* arg) {
    if (op != GPIOHANDLE_GET_LINE_VALUES_IOCTL) {
        return libc().ioctl(fd, op, arg);
    }
    auto* values = static_cast<gpiohandle_data*>(arg);
    gpiohandle_data bmc{};
    if (libc().ioctl(fd, op, values) < 0 ||
        fetch<gpiohandle_data>(s.companion, request(pec_bench::wire::OP_GPIO_GET_VALUES), &bmc) <
            0) {
        return -1;
    }
    values->values[0] = bmc.values[0];
    return 0;
}

// Every request on a GPIO descriptor takes a structure; `handler` (the chip's
// or the line's) serves it under the descriptor's lock.
int gpio_ioctl(Slot& s, int (*handler)(int, unsigned long, void*), int fd, unsigned long op,
               void* arg) {
    if (arg == nullptr) {
        return fail(EFAULT);
    }
    std::lock_guard<std::mutex> guard(s.lock);
    return handler(fd, op, arg);
}

} // namespace

// ---- exported entry points --------------------------------------------------

extern "C" {

int open(const char* path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    mode_t mode = mode_arg(flags, ap);
    va_end(ap);
    return open_path(path, flags, mode, libc().open);
}

int open64(const char* path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    mode_t mode = mode_arg(flags, ap);
    va_end(ap);
    return open_path(path, flags, mode, libc().open64);
}

int openat(int dirfd, const char* path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    mode_t mode = mode_arg(flags, ap);
    va_end(ap);
    return openat_path(dirfd, path, flags, mode, libc().openat);
}

int openat64(int dirfd, const char* path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    mode_t mode = mode_arg(flags, ap);
    va_end(ap);
    return openat_path(dirfd, path, flags, mode, libc().openat64);
}

// Fortified forms, chosen by the compiler when the mode argument is absent.
int __open_2(const char* path, int flags) {
    return open(path, flags);
}
int __open64_2(const char* path, int flags) {
    return open64(path, flags);
}
int __openat_2(int dirfd, const char* path, int flags) {
    return openat(dirfd, path, flags);
}
int __openat64_2(int dirfd, const char* path, int flags) {
    return openat64(dirfd, path, flags);
}

int close(int fd) {
    if (fd >= 0 && fd < max_fds && slots[fd].kind.load(std::memory_order_acquire) != NONE) {
        Slot& s = slots[fd];
        std::lock_guard<std::mutex> guard(s.lock);
        if (s.companion >= 0) {
            libc().close(s.companion);
            s.companion = -1;
        }
        s.kind.store(NONE, std::memory_order_release);
    }
    return libc().close(fd);
}

ssize_t read(int fd, void* buf, size_t n) {
    Slot* s = find(fd);
    if (s == nullptr) {
        return libc().read(fd, buf, n);
    }
    if (s->kind.load() == I2C) {
        return i2c_read(*s, fd, buf, n);
    }
    if (s->kind.load() >= KERNEL_CHIP) {
        return libc().read(fd, buf, n);
    }
    // Line events are not simulated: nothing ever arrives.
    return fail(s->kind.load() == LINE ? EAGAIN : EINVAL);
}

ssize_t __read_chk(int fd, void* buf, size_t n, size_t buflen) {
    if (n > buflen) {
        abort();
    }
    return read(fd, buf, n);
}

ssize_t write(int fd, const void* buf, size_t n) {
    Slot* s = find(fd);
    if (s == nullptr) {
        return libc().write(fd, buf, n);
    }
    if (s->kind.load() == I2C) {
        return i2c_write(*s, fd, buf, n);
    }
    if (s->kind.load() >= KERNEL_CHIP) {
        return libc().write(fd, buf, n);
    }
    return fail(EINVAL);
}

int ioctl(int fd, unsigned long request, ...) noexcept {
    va_list ap;
    va_start(ap, request);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    Slot* s = find(fd);
    if (s == nullptr) {
        return libc().ioctl(fd, request, arg);
    }
    switch (s->kind.load()) {
    case I2C:
        return i2c_ioctl(*s, fd, request, arg);
    case GPIOCHIP:
        return gpio_ioctl(*s, gpio_chip_ioctl, fd, request, arg);
    case KERNEL_CHIP:
        return kernel_chip_ioctl(fd, request, arg);
    case KERNEL_LINE: {
        std::lock_guard<std::mutex> guard(s->lock);
        return kernel_line_ioctl(*s, fd, request, arg);
    }
    default:
        return gpio_ioctl(*s, gpio_line_ioctl, fd, request, arg);
    }
}

} // extern "C"
