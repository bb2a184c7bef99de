// Without a GPIO chip on the build machine only the failure paths can be
// run here; the line requests themselves are exercised on the bench.
#include "linux_gpio.h"

#include "log_capture.h"
#include "support/text.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <string>

TEST(LinuxGPIO, MissingChipAndMissingLine) {
    if (access("/dev/gpiochip0", F_OK) == 0)
        GTEST_SKIP() << "this machine has a GPIO chip; the failure paths need none";
    Log_Capture log;
    Linux_GPIO line;
    EXPECT_EQ(line.init(0, 0, "read feedback", Linux_GPIO::IN, Linux_GPIO::NONE, false), 1);
    EXPECT_FALSE(line.get_Value());
    EXPECT_FALSE(line.get_Value());
    EXPECT_EQ(line.set_Value(true), 1);
    EXPECT_EQ(line.init(-3, 0, "a label longer than thirty-one characters", Linux_GPIO::OUT,
                        Linux_GPIO::NONE, true),
              1);
    line.deinit();

    const std::string text = without_Colours(log.text());
    EXPECT_NE(text.find(log_Line("ERROR", "[GPIO] init: gpiochip open error")), std::string::npos)
        << text;
    // The failed read is logged once; its repeat within the minute is held
    // back (the link reads on every pass).
    size_t first = text.find("[GPIO] get_Value: Read Failed, ");
    ASSERT_NE(first, std::string::npos) << text;
    EXPECT_EQ(text.find("[GPIO] get_Value: Read Failed, ", first + 1), std::string::npos);
}
