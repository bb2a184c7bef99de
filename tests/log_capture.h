// The log lines of a unit test: every line goes into a temporary file for
// the life of a Log_Capture, then the console streams are put back.
#pragma once

#include "log.h"
#include "support/files.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <string>

class Log_Capture {
public:
    Log_Capture() : path(testing::TempDir() + "log_capture_XXXXXX") {
        int fd = mkstemp(&path[0]);
        if (fd >= 0)
            close(fd);
        EXPECT_EQ(set_Log_Output_File(path.c_str(), "w"), 0);
    }
    ~Log_Capture() {
        // A failing open leaves the console streams in place.
        set_Log_Output_File("/nonexistent-dir/log", "w");
        unlink(path.c_str());
    }
    Log_Capture(const Log_Capture&) = delete;
    Log_Capture& operator=(const Log_Capture&) = delete;

    // Everything logged so far.
    std::string text() const { return read_File(path); }

private:
    std::string path;
};
