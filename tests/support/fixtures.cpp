// GoogleTest fixtures shared by the test programs.
#include "support/fixtures.h"

void Temp_Dir_Test::SetUp() {
    const testing::TestInfo* test = testing::UnitTest::GetInstance()->current_test_info();
    temp_dir = std::make_unique<Temp_Dir>(test->test_suite_name());
    ASSERT_FALSE(temp_dir->path().empty()) << "no temporary directory";
    dir = temp_dir->path();
}

void Temp_Dir_Test::TearDown() {
    temp_dir.reset();
    if (!dir.empty()) {
        EXPECT_FALSE(file_Exists(dir)) << dir << " was not removed";
    }
}

void Fake_Bin_Test::SetUp() {
    ASSERT_NO_FATAL_FAILURE(Temp_Dir_Test::SetUp());
    fakes = std::make_unique<Fake_Bin>(dir);
    ASSERT_TRUE(fakes->ready()) << "no bin directory in " << dir;
    bin = fakes->bin();
}

void Fake_Bin_Test::TearDown() {
    fakes.reset();
    Temp_Dir_Test::TearDown();
}
