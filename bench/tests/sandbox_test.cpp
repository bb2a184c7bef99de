// The sandbox: the scenarios as a process inside them sees them, the
// stand-in programs, and teardown, including after a test process dies or a
// bench fails to come up. The sandbox tests need root (mount, network and
// PID namespaces).

#include "bench_test_util.h"
#include "support/waits.h"
#include "testkit/files.h"
#include "testkit/proc.h"
#include "testkit/processes.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <map>
#include <sstream>

using pec_bench::Bench;
using pec_bench::Scenario;
using Facts = std::map<std::string, std::string>;

namespace {

const char* const probe = BENCH_SOURCE_DIR "/tests/sandbox_probe.sh";

class BenchSandbox : public ::testing::Test {
protected:
    void SetUp() override {
        if (geteuid() != 0) {
            GTEST_SKIP() << "needs root: the sandbox uses mount, network and PID namespaces";
        }
    }
};

// Starts the probe in the bench's sandbox and returns what it reported.
Facts run_probe(Bench& bench, const std::string& changes = "") {
    write_File(bench.run_dir() + "/probe.env",
               std::string("FAKE_CARD=") + BENCH_FAKE_CARD + "\nPROBE_CHANGES=" + changes + "\n");
    Facts facts;
    if (!bench.start_daemon(probe)) {
        ADD_FAILURE() << "sandbox did not start: " << bench.trace().back().detail;
        return facts;
    }
    std::string out;
    EXPECT_TRUE(eventually([&] { return contains(out = bench.daemon_stdout(), "probe done"); },
                           std::chrono::seconds(30)))
        << "probe output:\n"
        << out << "\nsandbox log:\n"
        << read_File(bench.run_dir() + "/sandbox.log");
    for (const std::string& line : lines_Of(out)) {
        size_t sp = line.find(' ');
        facts[line.substr(0, sp)] = sp == std::string::npos ? "" : line.substr(sp + 1);
    }
    return facts;
}

// Processes of this machine whose environment names the run directory.
size_t processes_using(const std::string& run_dir) {
    return pids_With_Environment("BENCH_RUN_DIR=" + run_dir).size();
}

bool host_mounts_mention(const std::string& text) {
    return contains(read_File("/proc/self/mountinfo"), text);
}

bool host_has_link(const char* name) {
    return file_Exists(std::string("/sys/class/net/") + name);
}

void expect_nothing_left(const std::string& run_dir) {
    eventually([&] { return processes_using(run_dir) == 0; }, std::chrono::seconds(5));
    EXPECT_EQ(processes_using(run_dir), 0u) << run_dir;
    EXPECT_FALSE(host_mounts_mention(run_dir)) << run_dir;
    EXPECT_FALSE(host_has_link("bmcnet0"));
    EXPECT_FALSE(file_Exists(run_dir)) << run_dir;
}

} // namespace

TEST_F(BenchSandbox, NetplanScenarioProvidesTheBoardAndTheStandinsRecordCalls) {
    std::string run_dir;
    {
        Bench bench{Scenario{}};
        run_dir = bench.run_dir();
        Facts f = run_probe(bench, "netplan");
        EXPECT_EQ(f["hostname"], "pec-bench");
        EXPECT_EQ(f["marker"], "55");
        EXPECT_EQ(f["serial"], "PEC07-2024-0815");
        EXPECT_EQ(f["os"], "[Debian GNU/Linux 12 (bookworm)]");
        EXPECT_EQ(f["eth0"], "192.0.2.10/24");
        EXPECT_EQ(f["route"], "192.0.2.1 eth0");
        EXPECT_EQ(f["netplan"], "01-netcfg.yaml");
        EXPECT_EQ(f["ifupdown"], "");
        EXPECT_EQ(f["nm"], "inactive");
        EXPECT_EQ(f["hwmon"], "hwmon0 ");
        EXPECT_EQ(f["card"], "probe 4c 1 0;chip ok;handle 0 0;closechip 0;value 0 0 1;");
        // The stand-ins behave as the daemon can observe.
        EXPECT_EQ(f["hostname-after"], "card-07");
        EXPECT_EQ(f["eth0-after"], "192.0.2.30/24");
        EXPECT_EQ(f["route-after"], "192.0.2.254");
        EXPECT_EQ(f["broken-apply"], "1 192.0.2.30/24");
        std::vector<pec_bench::StandinCall> calls = bench.standin_calls();
        ASSERT_EQ(calls.size(), 4u);
        EXPECT_EQ(calls[0].program, "systemctl");
        EXPECT_EQ(calls[0].args, (std::vector<std::string>{"is-active", "NetworkManager"}));
        EXPECT_EQ(calls[0].status, 3);
        EXPECT_EQ(calls[1].program, "hostnamectl");
        EXPECT_EQ(calls[1].args, (std::vector<std::string>{"set-hostname", "card-07"}));
        EXPECT_EQ(calls[1].status, 0);
        EXPECT_EQ(calls[2].program, "netplan");
        EXPECT_EQ(calls[2].status, 0);
        EXPECT_EQ(calls[3].status, 1);
        // The host keeps its own name and files.
        char host[256] = {0};
        gethostname(host, sizeof(host) - 1);
        EXPECT_STRNE(host, "card-07");
        EXPECT_FALSE(file_Exists("/etc/netplan/01-netcfg.yaml") &&
                     host_mounts_mention(bench.run_dir()));
        // The started program as this machine sees it: the probe, which ends
        // by becoming `sleep`.
        std::string comm_path = "/proc/" + std::to_string(bench.daemon_pid()) + "/comm";
        EXPECT_TRUE(
            eventually([&] { return read_File(comm_path) == "sleep\n"; }, std::chrono::seconds(5)))
            << bench.daemon_pid() << ": " << read_File(comm_path);
        bench.stop_daemon();
        EXPECT_EQ(bench.daemon_pid(), 0);
    }
    expect_nothing_left(run_dir);
}

TEST_F(BenchSandbox, ScenarioVariants) {
    struct Case {
        const char* scenario;
        const char* changes;
        Facts expected;
    };
    const Case cases[] = {
        {"no-serial", "", {{"marker", "00"}, {"nm", "inactive"}}},
        {"no-pretty-name", "", {{"os", "[]"}}},
        {"netplan-bound-4d",
         "",
         {{"hwmon", "hwmon0 hwmon1 "},
          {"card", "probe 4c 0 6;chip ok;handle 0 0;closechip 0;value 0 0 1;"}}},
        {"none",
         "",
         {{"netplan", ""}, {"ifupdown", ""}, {"keyfiles", ""}, {"eth0", "192.0.2.10/24"}}},
        {"ifupdown",
         "ifupdown",
         {{"netplan", ""},
          {"ifupdown", "eth0"},
          {"eth0", "192.0.2.10/24"},
          {"route", "192.0.2.1 eth0"},
          {"eth0-after", "192.0.2.31/24"},
          {"route-after", "192.0.2.1"}}},
        {"nm",
         "",
         {{"nm", "active"},
          {"keyfiles", "eth0.nmconnection"},
          {"eth0", "192.0.2.10/24"},
          {"route", "192.0.2.1 eth0"}}},
        {"nm-no-keyfile", "", {{"nm", "active"}, {"keyfiles", ""}, {"eth0", "192.0.2.10/24"}}},
    };
    for (const Case& c : cases) {
        Scenario sc;
        ASSERT_TRUE(pec_bench::scenario_by_name(c.scenario, &sc));
        std::string run_dir;
        {
            Bench bench{sc};
            run_dir = bench.run_dir();
            Facts f = run_probe(bench, c.changes);
            for (const auto& kv : c.expected) {
                EXPECT_EQ(f[kv.first], kv.second) << c.scenario << ": " << kv.first;
            }
        }
        expect_nothing_left(run_dir);
    }
}

TEST_F(BenchSandbox, CleanUpAfterTheTestProcessDies) {
    // A test that crashes, is killed or is interrupted leaves nothing behind:
    // the sandbox dies with it, and the run directory is removed at once (on
    // a signal it can catch) or by the next bench (when it cannot).
    for (int sig : {SIGABRT, SIGKILL, SIGTERM, SIGINT}) {
        Child_Process child([](int results_fd) {
            Bench bench{Scenario{}};
            Facts f = run_probe(bench);
            if (write_All(results_fd, bench.run_dir()) != 0 || f["probe"] != "done") {
                _exit(3);
            }
            close(results_fd);
            pause(); // the parent sends the signal
            _exit(4);
        });
        ASSERT_TRUE(child.started());
        const std::string run_dir = child.read_Results();
        ASSERT_FALSE(run_dir.empty()) << "child bench did not come up";
        EXPECT_GT(processes_using(run_dir), 0u);
        int status = child.end(sig);
        EXPECT_TRUE(WIFSIGNALED(status)) << strsignal(sig);
        // Nothing is running any more; a later bench sweeps what was left.
        eventually([&] { return processes_using(run_dir) == 0; }, std::chrono::seconds(5));
        if (sig == SIGTERM || sig == SIGINT) {
            EXPECT_FALSE(file_Exists(run_dir))
                << strsignal(sig) << ": removed by the signal handler";
        }
        pec_bench::sweep_stale_run_dirs();
        expect_nothing_left(run_dir);
    }
}

TEST(BenchTeardown, ConstructorThatFailsLateLeavesNothing) {
    // The run directory, its trace file and the signal table entry exist
    // when the socket path turns out too long for AF_UNIX. More failures
    // than the table has entries: a bench made afterwards must still be torn
    // down by a signal.
    pec_bench::Options options;
    options.run_dir_base = "/tmp/bench_teardown_" + std::to_string(getpid()) + std::string(80, 'x');
    size_t fds = list_Directory("/proc/self/fd").size();
    for (int i = 0; i < 20; ++i) {
        EXPECT_THROW(Bench(Scenario{}, options), std::runtime_error);
    }
    EXPECT_EQ(list_Directory("/proc/self/fd").size(), fds);
    EXPECT_EQ(rmdir(options.run_dir_base.c_str()), 0) << "run directories left behind";

    Child_Process child([](int results_fd) {
        Bench bench{Scenario{}};
        if (write_All(results_fd, bench.run_dir()) != 0) {
            _exit(3);
        }
        raise(SIGTERM);
        _exit(4);
    });
    const std::string run_dir = child.read_Results();
    int status = child.end();
    ASSERT_FALSE(run_dir.empty()) << "child bench did not come up";
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM);
    EXPECT_FALSE(file_Exists(run_dir)) << run_dir << ": not removed by the signal handler";
}
