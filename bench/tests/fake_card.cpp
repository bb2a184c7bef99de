// A stand-in for the card daemon's device calls, for the bench's own tests:
// each argument is one step, made exactly as the daemon makes it, and each
// step prints one line with its outcome.
//
//   i2c | slave N | write HEX | read N | close       the BMC link
//   probe ADDR | quick ADDR                         sensor probes (receive byte, quick write)
//   chip | handle LINE LABEL | event LINE | closechip | value | closeline
//   file PATH                                       plain file: write, read back, ioctl
//   fdnum | gone PATH                               waits (up to 30 s) until PATH is gone

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/gpio.h>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <string>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

int i2c_fd = -1;
int chip_fd = -1;
int line_fd = -1;

void print_hex(const char* what, long r, const unsigned char* b, long n) {
    printf("%s %ld", what, r);
    for (long i = 0; i < n; ++i) {
        printf(i == 0 ? " %02x" : "%02x", b[i]);
    }
    printf("\n");
}

bool parse_hex(const char* s, unsigned char* out, size_t cap, size_t* n) {
    size_t len = strlen(s);
    if (len % 2 != 0 || len / 2 > cap) {
        return false;
    }
    for (size_t i = 0; i < len; i += 2) {
        char pair[3] = {s[i], s[i + 1], 0};
        char* end = nullptr;
        unsigned long v = strtoul(pair, &end, 16);
        if (*end != '\0') {
            return false;
        }
        out[i / 2] = static_cast<unsigned char>(v);
    }
    *n = len / 2;
    return true;
}

long number(const char* s) {
    char* end = nullptr;
    long v = strtol(s, &end, 0);
    if (*s == '\0' || *end != '\0') {
        fprintf(stderr, "bad number %s\n", s);
        exit(2);
    }
    return v;
}

// The sensor probe: open, select, one SMBus transfer, close.
void probe(long addr, bool quick) {
    int fd = open("/dev/i2c-0", O_RDWR);
    if (fd < 0) {
        printf("probe %02lx open-errno %d\n", addr, errno);
        return;
    }
    ioctl(fd, I2C_SLAVE, addr);
    i2c_smbus_data data{};
    i2c_smbus_ioctl_data args{};
    if (quick) {
        args.read_write = I2C_SMBUS_WRITE;
        args.size = I2C_SMBUS_QUICK;
        args.data = nullptr;
    } else {
        args.read_write = I2C_SMBUS_READ;
        args.command = 0;
        args.size = I2C_SMBUS_BYTE_DATA; // as the daemon asks: size 2, command 0
        args.data = &data;
    }
    int r = ioctl(fd, I2C_SMBUS, &args);
    int err = errno;
    close(fd);
    printf("probe %02lx %d %d\n", addr, r == 0 ? 1 : 0, r == 0 ? 0 : err);
}

void plain_file(const char* path) {
    int fd = open(path, O_RDWR | O_CREAT | O_TRUNC, 0600);
    if (fd < 0) {
        printf("file open-errno %d\n", errno);
        return;
    }
    ssize_t w = write(fd, "hello", 5);
    lseek(fd, 0, SEEK_SET);
    char buf[16] = {0};
    ssize_t r = read(fd, buf, sizeof(buf) - 1);
    int avail = -1;
    int ir = ioctl(fd, FIONREAD, &avail);
    lseek(fd, 0, SEEK_SET);
    int avail2 = -1;
    ioctl(fd, FIONREAD, &avail2);
    printf("file fd=%d write %zd read %zd %s fionread %d %d\n", fd, w, r, buf, ir, avail2);
    close(fd);
}

void open_i2c(char**) {
    i2c_fd = open("/dev/i2c-0", O_RDWR);
    printf("i2c %d %d\n", i2c_fd, i2c_fd < 0 ? errno : 0);
}

void select_slave(char** a) {
    int r = ioctl(i2c_fd, I2C_SLAVE, number(a[0]));
    printf("slave %d %d\n", r, r < 0 ? errno : 0);
}

void write_bytes(char** a) {
    unsigned char b[512];
    size_t n = 0;
    if (!parse_hex(a[0], b, sizeof(b), &n)) {
        fprintf(stderr, "bad hex\n");
        exit(2);
    }
    ssize_t r = write(i2c_fd, b, n);
    printf("write %zd %d\n", r, r < 0 ? errno : 0);
}

// Prints up to the packet's own length (at least one byte).
void read_bytes(char** a) {
    unsigned char b[4096];
    long n = number(a[0]);
    memset(b, 0, sizeof(b));
    ssize_t r = read(i2c_fd, b, static_cast<size_t>(n));
    if (r < 0) {
        printf("read -1 %d\n", errno);
        return;
    }
    long show = r > 0 ? (b[0] > 0 && b[0] <= r ? b[0] : 1) : 0;
    print_hex("read", static_cast<long>(r), b, show);
}

void close_i2c(char**) {
    printf("close %d\n", close(i2c_fd));
}

void open_chip(char**) {
    chip_fd = open("/dev/gpiochip0", O_RDWR | O_CLOEXEC);
    printf("chip %d %d\n", chip_fd, chip_fd < 0 ? errno : 0);
}

void line_handle(char** a) {
    long line = number(a[0]);
    gpiohandle_request req{};
    req.lineoffsets[0] = static_cast<__u32>(line);
    req.flags = GPIOHANDLE_REQUEST_INPUT;
    snprintf(req.consumer_label, sizeof(req.consumer_label), "%s", a[1]);
    req.lines = 1;
    int r = ioctl(chip_fd, GPIO_GET_LINEHANDLE_IOCTL, &req);
    line_fd = r == 0 ? req.fd : -1;
    printf("handle %d %d\n", r, r < 0 ? errno : 0);
}

void line_event(char** a) {
    long line = number(a[0]);
    gpioevent_request req{};
    req.lineoffset = static_cast<__u32>(line);
    req.handleflags = GPIOHANDLE_REQUEST_INPUT;
    req.eventflags = GPIOEVENT_REQUEST_FALLING_EDGE;
    snprintf(req.consumer_label, sizeof(req.consumer_label), "event test");
    int r = ioctl(chip_fd, GPIO_GET_LINEEVENT_IOCTL, &req);
    line_fd = r == 0 ? req.fd : -1;
    printf("event %d %d\n", r, r < 0 ? errno : 0);
}

void line_value(char**) {
    gpiohandle_data data{};
    int r = ioctl(line_fd, GPIOHANDLE_GET_LINE_VALUES_IOCTL, &data);
    printf("value %d %d %d\n", r, r < 0 ? errno : 0, data.values[0]);
}

void fd_number(char**) {
    int fd = open("/dev/null", O_RDONLY);
    printf("fdnum %d\n", fd);
    close(fd);
}

struct Step {
    const char* name;
    int args;
    void (*run)(char** args);
};

// Polls every 10 ms: the card holds its descriptors while the other end
// goes away.
void wait_gone(char** a) {
    for (int i = 0; i < 3000; ++i) {
        if (access(a[0], F_OK) != 0) {
            printf("gone 0\n");
            return;
        }
        usleep(10000);
    }
    printf("gone -1 still there\n");
}

const Step steps[] = {
    {"i2c", 0, open_i2c},
    {"slave", 1, select_slave},
    {"write", 1, write_bytes},
    {"read", 1, read_bytes},
    {"close", 0, close_i2c},
    {"probe", 1, [](char** a) { probe(number(a[0]), false); }},
    {"quick", 1, [](char** a) { probe(number(a[0]), true); }},
    {"chip", 0, open_chip},
    {"handle", 2, line_handle},
    {"event", 1, line_event},
    {"closechip", 0, [](char**) { printf("closechip %d\n", close(chip_fd)); }},
    {"value", 0, line_value},
    {"closeline", 0, [](char**) { printf("closeline %d\n", close(line_fd)); }},
    {"file", 1, [](char** a) { plain_file(a[0]); }},
    {"fdnum", 0, fd_number},
    {"gone", 1, wait_gone},
};

const Step* find_step(const char* name) {
    for (const Step& s : steps) {
        if (strcmp(s.name, name) == 0) {
            return &s;
        }
    }
    return nullptr;
}

} // namespace

int main(int argc, char** argv) {
    setvbuf(stdout, nullptr, _IOLBF, 0);
    for (int i = 1; i < argc; ++i) {
        const Step* step = find_step(argv[i]);
        if (step == nullptr) {
            fprintf(stderr, "unknown step %s\n", argv[i]);
            return 2;
        }
        if (i + step->args >= argc) {
            fprintf(stderr, "%s needs an argument\n", argv[i]);
            return 2;
        }
        step->run(argv + i + 1);
        i += step->args;
    }
    return 0;
}
