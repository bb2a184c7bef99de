// The system tests' fixture and its waits: BenchTest skips without root,
// starts one bench with the daemon per test and, when a test fails, prints
// the tail of the trace and the daemon's log for the post-mortem. The waits
// are on events (trace events, log lines, handled requests); where a test
// must show that something does not happen it watches two main-loop cycles.
#pragma once

#include "system/support/names.h"
#include "system/support/trace_reports.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace systest {

// The bench scenario `name` (a failure when there is none), and the same
// with DEBUG=1 for the daemon.
Scenario scenario(const std::string& name);
Scenario debug_scenario(const std::string& name);

class BenchTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Starts a bench with `sc` and the daemon in it; `before_daemon` runs
    // in between. Use with ASSERT_NO_FATAL_FAILURE(start(sc)).
    void start(const Scenario& sc, const pec_bench::Faults* faults = nullptr,
               const std::function<void(Bench&)>& before_daemon = {});

    Bench& bench() { return *bench_; }
    // The daemon's standard output and error, lines of level and text: the
    // colour codes of the terminal form taken out.
    std::string daemon_out() const;
    std::string daemon_err() const;

    // Waits until the start-up traffic is through: both description sets and,
    // with a sensor, the first temperature report.
    void wait_started(bool with_temperature);

    // Waits until stdout holds `count` occurrences of `part`.
    bool wait_stdout(const std::string& part, size_t count, seconds timeout);

    // Waits for the daemon's next main-loop cycle boundary (with DEBUG=1): the
    // temperature line each cycle writes just before its report step; the
    // cycle then sleeps 2 s, so a change made right after it is seen by the
    // following cycle. Returns the number of such lines so far.
    size_t wait_next_cycle_line(seconds timeout = seconds(30));

    // With DEBUG=1: waits until standard output holds the link's line for
    // every successful write in the trace (the line follows the write).
    bool wait_log_caught_up(seconds timeout = seconds(10));

    // Waits until the link thread has ended `passes` passes from now (each
    // pass starts by reading the feedback line): whatever a pass in flight
    // was doing (a write, a read and the handling of what it read) is done.
    bool wait_link_passes(int passes = 1, seconds timeout = seconds(30));

    // Waits until the main loop has begun `cycles` more cycles, counted by
    // the WATCHDOG=1 it sends the service manager once a cycle. A test that
    // must show that something does not happen (a report, a log line, a
    // read) watches two: wherever in its cycle the loop was, one whole cycle
    // runs in between, and with it a hundred passes of the link thread.
    bool wait_main_loop_cycles(int cycles, seconds timeout = seconds(30));

    // Waits until the card has read every packet queued for it and its link
    // has ended the pass that read the last one. The link handles each
    // request in the pass that reads it, one after the other, so by then
    // every program a request runs has been called and every line it logs
    // has been written.
    bool wait_requests_handled(seconds timeout = seconds(60));

private:
    void dump();

    std::unique_ptr<Bench> bench_;
};

} // namespace systest
