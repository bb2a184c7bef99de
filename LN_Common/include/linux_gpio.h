// One GPIO line held through the GPIO character device (the kernel's first
// line-handle/line-event interface): read its level, drive an output.
#pragma once

#include "log.h"

#include <cstdint>
#include <string>

class Linux_GPIO {
public:
    enum DIR : uint8_t { IN = 0, OUT = 1 };
    enum EDGE : uint8_t { NONE = 0, RISING = 1, FALLING = 2, BOTH = 3 };

    Linux_GPIO();
    Linux_GPIO(int chip_number, int line_number, std::string description, DIR pin_dir, EDGE edge,
               bool value);
    ~Linux_GPIO();

    Linux_GPIO(const Linux_GPIO&) = delete;
    Linux_GPIO& operator=(const Linux_GPIO&) = delete;

    // Requests the line on /dev/gpiochip<chip_number>. 1 when the chip cannot
    // be opened (a line held before stays held); 0 otherwise, also when the
    // kernel refuses the line (the object then holds none). A description
    // longer than the kernel's 31-character label is cut.
    uint8_t init(int chip_number, int line_number, std::string description, DIR pin_dir, EDGE edge,
                 bool value);
    void deinit();

    // The line's level; false when it cannot be read.
    bool get_Value();
    // Drives an output line; 1 when the kernel refuses.
    uint8_t set_Value(bool value);

private:
    int target_fd;
    Log_Repeat_Limiter read_error_limiter;
};
