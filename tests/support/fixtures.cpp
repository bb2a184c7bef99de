// GoogleTest fixtures shared by the test programs.
#include "support/fixtures.h"

#include "support/shell.h"
#include "testkit/call_record.h"

#include <sys/stat.h>

#include <cstdlib>

void Temp_Dir_Test::SetUp() {
    const testing::TestInfo* test = testing::UnitTest::GetInstance()->current_test_info();
    temp_dir = std::make_unique<Temp_Dir>(test->test_suite_name());
    ASSERT_FALSE(temp_dir->path().empty()) << "no temporary directory";
    dir = temp_dir->path();
}

void Temp_Dir_Test::TearDown() {
    temp_dir.reset();
    if (!dir.empty() && !Temp_Dir::kept()) {
        EXPECT_FALSE(file_Exists(dir)) << dir << " was not removed";
    }
}

void Fake_Bin_Test::SetUp() {
    ASSERT_NO_FATAL_FAILURE(Temp_Dir_Test::SetUp());
    bin = dir + "/bin";
    ASSERT_EQ(mkdir(bin.c_str(), 0755), 0);
    const char* path = getenv("PATH");
    old_path = path != nullptr ? path : "";
    setenv("PATH", (bin + ":" + old_path).c_str(), 1);
}

void Fake_Bin_Test::TearDown() {
    if (!old_path.empty())
        setenv("PATH", old_path.c_str(), 1);
    Temp_Dir_Test::TearDown();
}

void Fake_Bin_Test::install_Fake(const std::string& name, std::string script) const {
    for (size_t at = 0; (at = script.find("@DIR@", at)) != std::string::npos; at += dir.size())
        script.replace(at, 5, dir);
    write_File(bin + "/" + name,
               "#!/bin/bash\n. " + shell_Quote(call_Recorder_Path()) + "\nrecord_call " +
                   shell_Quote(dir + "/calls") + " 0 " + shell_Quote(name) + " \"$@\"\n" + script +
                   "\nexit 0\n",
               0755);
}

void Fake_Bin_Test::add_Fake_Command(const std::string& name, const std::string& output) const {
    install_Fake(name, "printf '%b' " + shell_Quote(output));
}

std::string Fake_Bin_Test::get_Calls() const {
    return read_File(dir + "/calls");
}

std::string Fake_Bin_Test::get_Calls(const std::string& program) const {
    return calls_Of(get_Calls(), program);
}

void Fake_Bin_Test::clear_Calls() const {
    write_File(dir + "/calls", "");
}
