// pec_bench_line_poller SECONDS line|sleep
//
// The control run of the idle figures: the card's link thread when it has
// nothing to do is a pass every 20 ms that reads the feedback line. With
// "line" this program makes exactly those passes (line 0 of
// /dev/gpiochip0 requested as an input, its value read, a 20 ms sleep); with
// "sleep" only the sleeps. Run with the device interposer preloaded, the
// difference between the two is what the interposer costs the daemon.

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/gpio.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

// The feedback line as the daemon requests it; -1 when it cannot be had.
int request_line() {
    int chip = open("/dev/gpiochip0", O_RDWR | O_CLOEXEC);
    if (chip < 0) {
        return -1;
    }
    gpiohandle_request req{};
    req.lineoffsets[0] = 0;
    req.flags = GPIOHANDLE_REQUEST_INPUT;
    req.lines = 1;
    snprintf(req.consumer_label, sizeof(req.consumer_label), "%s", "read feedback");
    int line = ioctl(chip, GPIO_GET_LINEHANDLE_IOCTL, &req) == 0 ? req.fd : -1;
    close(chip);
    return line;
}

} // namespace

int main(int argc, char** argv) {
    char* end = nullptr;
    double seconds = argc == 3 ? strtod(argv[1], &end) : -1;
    bool read_line = argc == 3 && strcmp(argv[2], "line") == 0;
    if (argc != 3 || *end != '\0' || seconds < 0 || (!read_line && strcmp(argv[2], "sleep") != 0)) {
        fprintf(stderr, "usage: pec_bench_line_poller SECONDS line|sleep\n");
        return 2;
    }
    int line = read_line ? request_line() : -1;
    if (read_line && line < 0) {
        fprintf(stderr, "pec_bench_line_poller: no feedback line: %s\n", strerror(errno));
        return 1;
    }
    int failures = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < deadline) {
        gpiohandle_data data{};
        if (line >= 0 && ioctl(line, GPIOHANDLE_GET_LINE_VALUES_IOCTL, &data) != 0) {
            ++failures;
        }
        usleep(20000);
    }
    if (line >= 0) {
        close(line);
    }
    return failures == 0 ? 0 : 1;
}
