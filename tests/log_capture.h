// The log lines of a unit test: every line goes into a file of a temporary
// directory for the life of a Log_Capture, then the console streams are put
// back.
#pragma once

#include "log.h"
#include "testkit/files.h"

#include <gtest/gtest.h>

#include <string>

class Log_Capture {
public:
    Log_Capture() { EXPECT_EQ(set_Log_Output_File(path.c_str(), "w"), 0); }
    // A failing open leaves the console streams in place.
    ~Log_Capture() { set_Log_Output_File("/nonexistent-dir/log", "w"); }
    Log_Capture(const Log_Capture&) = delete;
    Log_Capture& operator=(const Log_Capture&) = delete;

    // Everything logged so far.
    std::string text() const { return read_File(path); }

private:
    Temp_Dir dir{"log_capture"};
    std::string path = dir.file("log");
};
