// Fake host programs for the tests: a directory that stands first on PATH
// while the object lives, holding shell scripts that record each call
// through record_call.sh (one shared record, in call order) and then do what
// the test asked.
#pragma once

#include <string>

class Fake_Bin {
public:
    // Makes `dir`/bin and puts it first on PATH.
    explicit Fake_Bin(const std::string& dir);
    ~Fake_Bin(); // PATH as it was
    Fake_Bin(const Fake_Bin&) = delete;
    Fake_Bin& operator=(const Fake_Bin&) = delete;

    bool ready() const { return ready_; }
    const std::string& bin() const { return bin_; }

    // A fake `name` that records its call, then runs `script` (shell
    // commands; every "@DIR@" in it becomes the directory given at
    // construction) and exits 0.
    void install(const std::string& name, std::string script) const;
    // A fake `name` that records its call and prints `output` (printf %b
    // escapes).
    void add(const std::string& name, const std::string& output) const;

    // Every recorded call so far, or those of `program`, one line each.
    std::string calls() const;
    std::string calls(const std::string& program) const;
    void clear_Calls() const;

private:
    std::string dir_;
    std::string bin_;
    std::string old_path_;
    bool ready_ = false;
};
