// The system tests' fixture and its waits.
#include "system/support/fixture_and_waits.h"

#include "system/support/card_host.h"
#include "system/support/daemon_log.h"

#include "support/text.h"
#include "support/waits.h"
#include "testkit/files.h"

#include <unistd.h>

#include <cstdio>

namespace systest {

namespace {

// The trace's last events but the line levels and slave selections, which
// drown everything else.
std::string trace_tail(const std::vector<TraceEvent>& trace) {
    size_t from = trace.size() > 150 ? trace.size() - 150 : 0;
    std::string s;
    for (size_t i = from; i < trace.size(); ++i) {
        if (trace[i].event != "line_value" && trace[i].event != "slave") {
            s += trace[i].json + "\n";
        }
    }
    return s;
}

// The last `limit` bytes of `text`.
std::string tail(const std::string& text, size_t limit) {
    return text.size() > limit ? "..." + text.substr(text.size() - limit) : text;
}

bool is_delivery(const TraceEvent& e) {
    return is_card_read(e) && !e.packet.raw.empty();
}

bool is_queued(const TraceEvent& e) {
    return e.event == "bmc_queue";
}

} // namespace

Scenario scenario(const std::string& name) {
    Scenario sc;
    if (!pec_bench::scenario_by_name(name, &sc)) {
        ADD_FAILURE() << "unknown bench scenario " << name;
    }
    return sc;
}

Scenario debug_scenario(const std::string& name) {
    Scenario sc = scenario(name);
    sc.debug = true;
    return sc;
}

void BenchTest::SetUp() {
    if (geteuid() != 0) {
        GTEST_SKIP() << "the bench runs the daemon in mount, network and PID namespaces, "
                        "which needs root";
    }
}

void BenchTest::TearDown() {
    // Only the daemon speaks to the service manager: the programs it runs
    // must not find its socket.
    for (const TraceEvent& e : bench_ ? bench_->trace() : std::vector<TraceEvent>()) {
        EXPECT_TRUE(e.event != "notify" || e.detail.rfind("READY=1\n", 0) == 0 ||
                    e.detail.rfind("STATUS=", 0) == 0 || e.detail == "WATCHDOG=1" ||
                    e.detail.rfind("STOPPING=1\n", 0) == 0)
            << "not the daemon's notification: " << e.detail;
    }
    if (bench_ && HasFailure()) {
        dump();
    }
    bench_.reset();
}

void BenchTest::start(const Scenario& sc, const pec_bench::Faults* faults,
                      const std::function<void(Bench&)>& before_daemon) {
    bench_ = std::make_unique<Bench>(sc);
    if (faults != nullptr) {
        bench_->set_faults(*faults);
    }
    if (before_daemon) {
        before_daemon(*bench_);
    }
    ASSERT_TRUE(bench_->start_daemon(daemon_path()))
        << "the bench could not start " << daemon_path();
}

void BenchTest::wait_started(bool with_temperature) {
    ASSERT_TRUE(bench_->wait_for(ends_set, 2, seconds(90))) << "no two description sets";
    if (with_temperature) {
        ASSERT_TRUE(bench_->wait_for(card_wrote(is_temperature), 1, seconds(60)))
            << "no first temperature report";
    }
}

std::string BenchTest::daemon_out() const {
    return without_Colours(bench_->daemon_stdout());
}

std::string BenchTest::daemon_err() const {
    return without_Colours(bench_->daemon_stderr());
}

bool BenchTest::wait_stdout(const std::string& part, size_t count, seconds timeout) {
    return eventually([&] { return count_Of(daemon_out(), part) >= count; }, timeout);
}

size_t BenchTest::wait_next_cycle_line(seconds timeout) {
    size_t before = count_Of(daemon_out(), cycle_line);
    eventually([&] { return count_Of(daemon_out(), cycle_line) > before; }, timeout,
               milliseconds(20));
    return count_Of(daemon_out(), cycle_line);
}

bool BenchTest::wait_log_caught_up(seconds timeout) {
    size_t written = count_events(
        bench_->trace(), [](const TraceEvent& e) { return is_card_write(e) && e.result > 0; });
    return wait_stdout(write_line, written, timeout);
}

bool BenchTest::wait_link_passes(int passes, seconds timeout) {
    // The pass whose line read is counted now (or is being counted) ends
    // before the read after it: one read more than the passes asked for.
    const int until = bench_->line_reads() + passes + 1;
    return eventually([&] { return bench_->line_reads() >= until; }, timeout, milliseconds(10));
}

bool BenchTest::wait_main_loop_cycles(int cycles, seconds timeout) {
    auto is_watchdog = [](const TraceEvent& e) {
        return e.event == "notify" && e.detail == "WATCHDOG=1";
    };
    const size_t until = count_events(bench_->trace(), is_watchdog) + static_cast<size_t>(cycles);
    return bench_->wait_for(is_watchdog, until, timeout);
}

bool BenchTest::wait_requests_handled(seconds timeout) {
    bool delivered = eventually(
        [&] {
            std::vector<TraceEvent> trace = bench_->trace();
            return count_events(trace, is_delivery) >= count_events(trace, is_queued);
        },
        timeout, milliseconds(20));
    return delivered && wait_link_passes(1, timeout);
}

void BenchTest::dump() {
    std::vector<TraceEvent> trace = bench_->trace();
    printf("---- trace (last events) ----\n%s---- reports ----\n%s---- daemon stdout "
           "----\n%s\n---- daemon stderr ----\n%s\n---- sandbox.log ----\n%s\n",
           trace_tail(trace).c_str(), show(reports_of(trace)).c_str(),
           tail(bench_->daemon_stdout(), 6000).c_str(), tail(bench_->daemon_stderr(), 3000).c_str(),
           read_File(bench_->run_dir() + "/sandbox.log").c_str());
}

} // namespace systest
