// Test helper: sends every log line into a temporary file for the life of
// the object, then puts the console streams back.
#pragma once

#include "log.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
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
    std::string text() const {
        std::string content;
        FILE* file = fopen(path.c_str(), "r");
        if (file == nullptr)
            return content;
        char block[512];
        size_t count;
        while ((count = fread(block, 1, sizeof(block), file)) > 0)
            content.append(block, count);
        fclose(file);
        return content;
    }

private:
    std::string path;
};
