// The sandbox: the scenarios as a process inside them sees them, the
// stand-in programs, and teardown, including after a test process dies or a
// bench fails to come up. The sandbox tests need root (mount, network and
// PID namespaces).

#include "bench_test_util.h"

#include <csignal>
#include <dirent.h>
#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <sstream>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

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
    std::ofstream(bench.run_dir() + "/probe.env")
        << "FAKE_CARD=" << BENCH_FAKE_CARD << "\nPROBE_CHANGES=" << changes << "\n";
    Facts facts;
    if (!bench.start_daemon(probe)) {
        ADD_FAILURE() << "sandbox did not start: " << bench.trace().back().detail;
        return facts;
    }
    std::string out;
    for (int i = 0; i < 300 && out.find("probe done") == std::string::npos; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        out = bench.daemon_stdout();
    }
    EXPECT_NE(out.find("probe done"), std::string::npos)
        << "probe output:\n"
        << out << "\nsandbox log:\n"
        << std::ifstream(bench.run_dir() + "/sandbox.log").rdbuf();
    std::istringstream in(out);
    std::string line;
    while (std::getline(in, line)) {
        size_t sp = line.find(' ');
        facts[line.substr(0, sp)] = sp == std::string::npos ? "" : line.substr(sp + 1);
    }
    return facts;
}

// Processes of this machine whose environment names the run directory.
int processes_using(const std::string& run_dir) {
    int n = 0;
    DIR* d = opendir("/proc");
    while (dirent* e = d != nullptr ? readdir(d) : nullptr) {
        if (e->d_name[0] < '0' || e->d_name[0] > '9') {
            continue;
        }
        std::ifstream env(std::string("/proc/") + e->d_name + "/environ");
        std::string all((std::istreambuf_iterator<char>(env)), std::istreambuf_iterator<char>());
        if (all.find("BENCH_RUN_DIR=" + run_dir) != std::string::npos) {
            ++n;
        }
    }
    if (d != nullptr) {
        closedir(d);
    }
    return n;
}

bool host_mounts_mention(const std::string& text) {
    std::ifstream in("/proc/self/mountinfo");
    std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return all.find(text) != std::string::npos;
}

bool exists(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

bool host_has_link(const char* name) {
    return exists(std::string("/sys/class/net/") + name);
}

int open_descriptors() {
    int n = 0;
    DIR* d = opendir("/proc/self/fd");
    while (d != nullptr && readdir(d) != nullptr) {
        ++n;
    }
    if (d != nullptr) {
        closedir(d);
    }
    return n;
}

void expect_nothing_left(const std::string& run_dir) {
    for (int i = 0; i < 50 && processes_using(run_dir) > 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_EQ(processes_using(run_dir), 0) << run_dir;
    EXPECT_FALSE(host_mounts_mention(run_dir)) << run_dir;
    EXPECT_FALSE(host_has_link("bmcnet0"));
    EXPECT_FALSE(exists(run_dir)) << run_dir;
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
        EXPECT_FALSE(exists("/etc/netplan/01-netcfg.yaml") && host_mounts_mention(bench.run_dir()));
        // The started program as this machine sees it: the probe, which ends
        // by becoming `sleep`.
        std::string comm;
        for (int i = 0; i < 50 && comm != "sleep"; ++i) {
            std::ifstream in("/proc/" + std::to_string(bench.daemon_pid()) + "/comm");
            std::getline(in, comm);
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        EXPECT_EQ(comm, "sleep") << bench.daemon_pid();
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
        int pipefd[2];
        ASSERT_EQ(pipe(pipefd), 0);
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            close(pipefd[0]);
            Bench bench{Scenario{}};
            Facts f = run_probe(bench);
            std::string dir = bench.run_dir() + "\n";
            if (write(pipefd[1], dir.data(), dir.size()) < 0 || f["probe"] != "done") {
                _exit(3);
            }
            close(pipefd[1]);
            pause(); // the parent sends the signal
            _exit(4);
        }
        close(pipefd[1]);
        char buf[512] = {0};
        ssize_t n = read(pipefd[0], buf, sizeof(buf) - 1);
        close(pipefd[0]);
        ASSERT_GT(n, 0) << "child bench did not come up";
        std::string run_dir(buf, static_cast<size_t>(n) - 1);
        EXPECT_GT(processes_using(run_dir), 0);
        kill(child, sig);
        int status = 0;
        waitpid(child, &status, 0);
        EXPECT_TRUE(WIFSIGNALED(status)) << strsignal(sig);
        // Nothing is running any more; a later bench sweeps what was left.
        for (int i = 0; i < 50 && processes_using(run_dir) > 0; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        if (sig == SIGTERM || sig == SIGINT) {
            EXPECT_FALSE(exists(run_dir)) << strsignal(sig) << ": removed by the signal handler";
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
    int fds = open_descriptors();
    for (int i = 0; i < 20; ++i) {
        EXPECT_THROW(Bench(Scenario{}, options), std::runtime_error);
    }
    EXPECT_EQ(open_descriptors(), fds);
    EXPECT_EQ(rmdir(options.run_dir_base.c_str()), 0) << "run directories left behind";

    int pipefd[2];
    ASSERT_EQ(pipe(pipefd), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        Bench bench{Scenario{}};
        std::string dir = bench.run_dir();
        if (write(pipefd[1], dir.data(), dir.size()) < 0) {
            _exit(3);
        }
        raise(SIGTERM);
        _exit(4);
    }
    close(pipefd[1]);
    char buf[512] = {0};
    ssize_t n = read(pipefd[0], buf, sizeof(buf) - 1);
    close(pipefd[0]);
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_GT(n, 0) << "child bench did not come up";
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM);
    EXPECT_FALSE(exists(buf)) << buf << ": not removed by the signal handler";
}
