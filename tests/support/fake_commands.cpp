// Fake host programs for the tests.
#include "support/fake_commands.h"

#include "support/call_record.h"
#include "support/files.h"
#include "support/shell.h"

#include <sys/stat.h>

#include <cstdlib>

Fake_Bin::Fake_Bin(const std::string& dir) : dir_(dir), bin_(dir + "/bin") {
    const char* path = getenv("PATH");
    old_path_ = path != nullptr ? path : "";
    ready_ = mkdir(bin_.c_str(), 0755) == 0;
    if (ready_)
        setenv("PATH", (bin_ + ":" + old_path_).c_str(), 1);
}

Fake_Bin::~Fake_Bin() {
    if (ready_)
        setenv("PATH", old_path_.c_str(), 1);
}

void Fake_Bin::install(const std::string& name, std::string script) const {
    for (size_t at = 0; (at = script.find("@DIR@", at)) != std::string::npos; at += dir_.size())
        script.replace(at, 5, dir_);
    write_File(bin_ + "/" + name,
               "#!/bin/bash\n. " + shell_Quote(call_Recorder_Path()) + "\nrecord_call " +
                   shell_Quote(dir_ + "/calls") + " 0 " + shell_Quote(name) + " \"$@\"\n" + script +
                   "\nexit 0\n",
               0755);
}

void Fake_Bin::add(const std::string& name, const std::string& output) const {
    install(name, "printf '%b' " + shell_Quote(output));
}

std::string Fake_Bin::calls() const {
    return read_File(dir_ + "/calls");
}

std::string Fake_Bin::calls(const std::string& program) const {
    return calls_Of(calls(), program);
}

void Fake_Bin::clear_Calls() const {
    write_File(dir_ + "/calls", "");
}
