// The daemon's log lines with the time each appeared.

#include "log_stamps.h"

#include <fstream>

namespace figures {

LogStamps::LogStamps(const Bench& bench, const std::string& path)
    : bench_(bench), path_(path), thread_([this] { watch(); }) {}

LogStamps::~LogStamps() {
    stop_.store(true);
    thread_.join();
}

double LogStamps::first(const std::string& text) const {
    std::lock_guard<std::mutex> lock(m_);
    for (const auto& line : lines_) {
        if (line.second.find(text) != std::string::npos) {
            return line.first;
        }
    }
    return -1;
}

void LogStamps::watch() {
    // Lines written before the watch began have no stamp of their own.
    std::ifstream in(path_, std::ios::binary | std::ios::ate);
    char buf[4096];
    while (!stop_.load()) {
        in.clear(); // past the end of a file that grows
        std::string chunk;
        while (in.read(buf, sizeof(buf)) || in.gcount() > 0) {
            chunk.append(buf, static_cast<size_t>(in.gcount()));
        }
        if (!chunk.empty()) {
            take_new_lines(chunk, bench_.now());
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

void LogStamps::take_new_lines(const std::string& chunk, double stamp) {
    std::lock_guard<std::mutex> lock(m_);
    partial_ += chunk;
    size_t pos;
    while ((pos = partial_.find('\n')) != std::string::npos) {
        lines_.emplace_back(stamp, partial_.substr(0, pos));
        partial_.erase(0, pos + 1);
    }
}

} // namespace figures
