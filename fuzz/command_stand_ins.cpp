// The host of the slow request-handler target: the commands really run,
// through the daemon's own runner and /bin/sh, and reach stand-ins under
// /run that record their arguments (testkit's record_call.sh) and print the
// answer set for their command line. What the oracle then judges is what
// the shell made of each line, written back as a line of plain and
// single-quoted words; the pipeline's grep and cut are the host's own.
#include <sys/stat.h>

#include <cstdlib>
#include <map>
#include <string>

#include "command_record.h"
#include "testkit/call_record.h"
#include "testkit/files.h"

namespace {

const std::string bin_dir = "/run/pec-fuzz-bin";
const std::string calls_path = "/run/pec-fuzz-calls";
const std::string answers_path = "/run/pec-fuzz-answers";
// Every program the handler runs but grep and cut.
const char* const programs[] = {"hostnamectl", "ip", "netplan", "nmcli", "systemctl"};

std::map<std::string, std::string> answers;
std::vector<std::string> commands;

// Records the call, then prints the output of the answer whose command line
// ("program args...") is this call's.
std::string get_Stand_In(const std::string& program) {
    return "#!/bin/bash\n. '" + std::string(call_Recorder_Path()) + "'\nrecord_call " + calls_path +
           " 0 " + program + " \"$@\"\nline=\"" + program +
           " $*\"\nwhile IFS=$'\\t' read -r command output; do\n"
           "    if [ \"$command\" = \"$line\" ]; then printf '%s\\n' \"$output\"; fi\n"
           "done <" +
           answers_path + "\n";
}

void set_Up_Stand_Ins() {
    static bool done = false;
    if (done)
        return;
    done = true;
    mkdir(bin_dir.c_str(), 0755);
    for (const char* program : programs) {
        if (write_File(bin_dir + "/" + program, get_Stand_In(program), 0755) != 0)
            abort();
    }
    setenv("PATH", (bin_dir + ":/usr/bin:/bin").c_str(), 1);
}

// An argument as a word of a command line: plain when it is only letters,
// digits and ".:/,=-", else in single quotes (an argument with a quote in
// it stays unquoted and so reads as shell syntax).
std::string get_Word(const std::string& argument) {
    static const char* const plain = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                     "0123456789._:/,=-";
    if (!argument.empty() && argument.find_first_not_of(plain) == std::string::npos)
        return argument;
    if (argument.find('\'') != std::string::npos)
        return argument;
    return "'" + argument + "'";
}

} // namespace

void clear_Recorded_Commands() {
    set_Up_Stand_Ins();
    commands.clear();
    if (write_File(calls_path, "") != 0)
        abort();
}

// The answers file: a line of command line, tab and output for each.
void set_Command_Answer(const std::string& cmd, const std::string& output) {
    set_Up_Stand_Ins();
    answers[cmd] = output.substr(0, output.find('\n'));
    std::string text;
    for (const auto& [line, answer] : answers)
        text.append(line).append("\t").append(answer).append("\n");
    if (write_File(answers_path, text) != 0)
        abort();
}

const std::vector<std::string>& get_Recorded_Commands() {
    commands.clear();
    for (const Recorded_Call& call : parse_Calls(read_File(calls_path))) {
        std::string line = call.program;
        for (const std::string& argument : call.args)
            line += " " + get_Word(argument);
        commands.push_back(line);
    }
    return commands;
}
