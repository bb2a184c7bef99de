// GoogleTest fixtures shared by the test programs: a fresh temporary
// directory per test, and fake host programs first on PATH.
#pragma once

#include "support/fake_commands.h"
#include "support/files.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

// Gives each test a fresh directory "/tmp/<suite>.XXXXXX" in `dir`, removed
// with everything in it after the test.
class Temp_Dir_Test : public testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    std::string dir;

private:
    std::unique_ptr<Temp_Dir> temp_dir;
};

// A temporary directory whose bin/ stands first on PATH for the test, so
// that fakes put there replace the host's commands (see Fake_Bin).
class Fake_Bin_Test : public Temp_Dir_Test {
protected:
    void SetUp() override;
    void TearDown() override;

    void install_Fake(const std::string& name, const std::string& script) const {
        fakes->install(name, script);
    }
    void add_Fake_Command(const std::string& name, const std::string& output) const {
        fakes->add(name, output);
    }
    // Every call of the fakes so far, or those of `name`.
    std::string get_Calls() const { return fakes->calls(); }
    std::string get_Calls(const std::string& name) const { return fakes->calls(name); }
    void clear_Calls() const { fakes->clear_Calls(); }

    std::string bin;

private:
    std::unique_ptr<Fake_Bin> fakes;
};
