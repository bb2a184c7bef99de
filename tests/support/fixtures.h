// GoogleTest fixtures shared by the test programs: a fresh temporary
// directory per test, and fake host programs first on PATH.
#pragma once

#include "testkit/files.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

// Gives each test a fresh directory "/tmp/<suite>.<pid>.XXXXXX" in `dir`,
// removed with everything in it after the test.
class Temp_Dir_Test : public testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    std::string dir;

private:
    std::unique_ptr<Temp_Dir> temp_dir;
};

// A temporary directory whose bin/ stands first on PATH for the test, so
// that fake programs put there replace the host's. Every fake records each
// call in one shared record (record_call.sh, in call order), then does what
// the test asked.
class Fake_Bin_Test : public Temp_Dir_Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // A fake `name` that records its call, then runs `script` (shell
    // commands; every "@DIR@" in it becomes the test's directory) and exits 0.
    void install_Fake(const std::string& name, std::string script) const;
    // A fake `name` that records its call and prints `output` (printf %b
    // escapes).
    void add_Fake_Command(const std::string& name, const std::string& output) const;

    // Every recorded call so far, or those of `program`, one line each.
    std::string get_Calls() const;
    std::string get_Calls(const std::string& program) const;
    void clear_Calls() const;

    std::string bin;
    std::string old_path;
};
