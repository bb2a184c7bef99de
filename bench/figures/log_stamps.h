// The daemon's log lines with the time each appeared, on the trace's clock.
// The daemon writes its standard output line by line to a file of the run
// directory; a thread looks at the file every millisecond and stamps each new
// line, so a stamp is at most a millisecond (and a scheduling delay) late.
#pragma once

#include "bench_run.h"

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace figures {

class LogStamps {
public:
    LogStamps(const Bench& bench, const std::string& path);
    ~LogStamps();
    LogStamps(const LogStamps&) = delete;
    LogStamps& operator=(const LogStamps&) = delete;

    // The stamp of the first line that holds `text`; -1 when none does.
    double first(const std::string& text) const;

private:
    void watch();
    void take_new_lines(const std::string& chunk, double stamp);

    const Bench& bench_;
    const std::string path_;
    mutable std::mutex m_;
    std::vector<std::pair<double, std::string>> lines_;
    std::string partial_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

} // namespace figures
