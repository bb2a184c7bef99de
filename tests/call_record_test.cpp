// The call record that every fake and stand-in program writes
// (testkit/record_call.sh) and its one reader (testkit/call_record.h): each
// argument comes back as it was given, whatever brackets, backslashes or
// line feeds it holds, and a status other than 0 is kept.
#include "support/fixtures.h"
#include "support/shell.h"
#include "testkit/call_record.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

class Call_Record : public Fake_Bin_Test {};

TEST_F(Call_Record, ArgumentsAndStatusSurviveTheRoundTrip) {
    install_Fake("prog", "");
    const std::vector<std::string> args = {
        "plain",         "",           "a b", "[x]",    "x]y[z",
        "back\\slash\\", "line\nfeed", "\\n", "exit 3", "'\"$(id)"};
    std::string command = "prog";
    for (const std::string& arg : args)
        command += " " + shell_Quote(arg);
    ASSERT_EQ(run_Shell(command), 0);
    ASSERT_EQ(run_Shell("bash -c '. \"$0\"; record_call \"$1\" 3 systemctl is-active x' " +
                        shell_Quote(call_Recorder_Path()) + " " + shell_Quote(dir + "/calls")),
              0);

    const std::vector<Recorded_Call> calls = parse_Calls(get_Calls());
    ASSERT_EQ(calls.size(), 2u) << get_Calls();
    EXPECT_EQ(calls[0].program, "prog");
    EXPECT_EQ(calls[0].args, args);
    EXPECT_EQ(calls[0].status, 0);
    EXPECT_EQ(calls[1].status, 3);
    EXPECT_EQ(get_Calls("systemctl"), "systemctl[is-active][x] exit 3\n");
    // A bracket left open or a status that is no number is no call.
    EXPECT_TRUE(parse_Calls("prog[open\nprog[a] exit x\nprog[a]exit 3\n").empty());
}

} // namespace
