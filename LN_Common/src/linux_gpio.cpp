// One GPIO line through the GPIO character device's line-handle and
// line-event requests.
#include "linux_gpio.h"

#include "log.h"

#include <fcntl.h>
#include <linux/gpio.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

static const char* const __log_tag = "GPIO";

namespace {

// The kernel's label field holds 31 characters and a terminator; a longer
// description is cut rather than allowed to overrun the record.
void copy_Label(char (&label)[GPIO_MAX_NAME_SIZE], const std::string& description) {
    snprintf(label, sizeof(label), "%s", description.c_str());
}

int request_Line_Handle(int chip_fd, int line_number, uint32_t flags, bool value,
                        const std::string& description) {
    struct gpiohandle_request request;
    memset(&request, 0, sizeof(request));
    request.lineoffsets[0] = static_cast<uint32_t>(line_number);
    request.flags = flags;
    request.default_values[0] = value ? 1 : 0;
    request.lines = 1;
    copy_Label(request.consumer_label, description);
    if (ioctl(chip_fd, GPIO_GET_LINEHANDLE_IOCTL, &request) < 0)
        return -1;
    return request.fd;
}

int request_Line_Event(int chip_fd, int line_number, uint32_t event_flags,
                       const std::string& description) {
    struct gpioevent_request request;
    memset(&request, 0, sizeof(request));
    request.lineoffset = static_cast<uint32_t>(line_number);
    request.handleflags = GPIOHANDLE_REQUEST_INPUT;
    request.eventflags = event_flags;
    copy_Label(request.consumer_label, description);
    if (ioctl(chip_fd, GPIO_GET_LINEEVENT_IOCTL, &request) < 0)
        return -1;
    return request.fd;
}

} // namespace

Linux_GPIO::Linux_GPIO() : target_fd(-1) {}

Linux_GPIO::Linux_GPIO(int chip_number, int line_number, std::string description, DIR pin_dir,
                       EDGE edge, bool value)
    : target_fd(-1) {
    init(chip_number, line_number, std::move(description), pin_dir, edge, value);
}

Linux_GPIO::~Linux_GPIO() {
    deinit();
}

uint8_t Linux_GPIO::init(int chip_number, int line_number, std::string description, DIR pin_dir,
                         EDGE edge, bool value) {
    LOG_DEBUG("gpio line number: %d", line_number);

    char chip_path[32];
    snprintf(chip_path, sizeof(chip_path), "/dev/gpiochip%d", chip_number);
    int chip_fd = open(chip_path, O_RDWR | O_CLOEXEC);
    if (chip_fd < 0) {
        LOG_ERROR("gpiochip open error");
        return 1;
    }

    deinit();

    int line_fd = -1;
    bool requested = true;
    if (pin_dir == IN && edge == NONE)
        line_fd =
            request_Line_Handle(chip_fd, line_number, GPIOHANDLE_REQUEST_INPUT, false, description);
    else if (pin_dir == IN)
        line_fd = request_Line_Event(chip_fd, line_number, edge, description);
    else if (pin_dir == OUT)
        line_fd = request_Line_Handle(chip_fd, line_number, GPIOHANDLE_REQUEST_OUTPUT, value,
                                      description);
    else
        requested = false;

    if (requested && line_fd < 0)
        LOG_ERROR("Request Failed, %d: %s", errno, strerror(errno));
    else if (line_fd >= 0)
        target_fd = line_fd;

    close(chip_fd);
    return 0;
}

void Linux_GPIO::deinit() {
    if (target_fd > 0)
        close(target_fd);
    target_fd = -1;
}

bool Linux_GPIO::get_Value() {
    struct gpiohandle_data data;
    memset(&data, 0, sizeof(data));
    if (ioctl(target_fd, GPIOHANDLE_GET_LINE_VALUES_IOCTL, &data) < 0) {
        // The link reads the line on every 20 ms pass.
        LOG_ERROR_LIMITED(read_error_limiter, "Read Failed, %s", strerror(errno));
        return false;
    }
    LOG_ERROR_CLEARED(read_error_limiter);
    return data.values[0] != 0;
}

uint8_t Linux_GPIO::set_Value(bool value) {
    struct gpiohandle_data data;
    memset(&data, 0, sizeof(data));
    data.values[0] = value ? 1 : 0;
    return ioctl(target_fd, GPIOHANDLE_SET_LINE_VALUES_IOCTL, &data) < 0 ? 1 : 0;
}
