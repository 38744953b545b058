// A program with modules open must still exit: by returning from main or by
// exit(), in every state a module can be in, without uninit. Each case runs in
// a child process (this binary again, with the case named in its environment);
// the parent serves the units, watches the child say "exiting now" and bounds
// the time from there to its end.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "kalax/zxpld.h"
#include "kalax/zxxml.h"
#include "support/full_listener.h"
#include "unitsim/unitsim.h"

extern char **environ;

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
namespace sim = kalax::sim;

constexpr const char *kCaseVar = "KALAX_EXIT_CASE";
constexpr const char *kHowVar = "KALAX_EXIT_HOW";
constexpr const char *kPortVar = "KALAX_EXIT_PORT";
constexpr const char *kFdVar = "KALAX_EXIT_FD";
constexpr auto kExitBound = 1000ms;

std::string env(const char *name) {
    const char *v = std::getenv(name);
    return v ? v : "";
}

// ---- the child side ------------------------------------------------------------

std::atomic<bool> g_in_callback{false};
std::atomic<int> g_data_chunks{0};

void values_blocking(int, void *, int, zxxml_values_struct *, zxxml_values_count_struct *) {
    g_in_callback = true;
    std::this_thread::sleep_for(10s);
}

void on_data(int, void *, const char *, int) { ++g_data_chunks; }

bool wait_until(const std::atomic<bool> &flag, std::chrono::milliseconds bound) {
    const auto end = Clock::now() + bound;
    while (!flag && Clock::now() < end) std::this_thread::sleep_for(5ms);
    return flag;
}

// Brings the library into the named state. Nothing is closed or uninitialised.
void enter_state(const std::string &name, int port) {
    zxxml_settings_struct settings{};
    if (name == "xml_idle") {
        ASSERT_EQ(zxxml_init(), 0);
        const int m = zxxml_open("127.0.0.1", port, &settings, nullptr);
        ASSERT_GT(m, 0);
        ASSERT_EQ(zxxml_wait_finish(m, 0, 5), 0);
    } else if (name == "xml_connecting") {
        ASSERT_EQ(zxxml_init(), 0);
        settings.connect_on_open = 1;
        ASSERT_GT(zxxml_open("127.0.0.1", port, &settings, nullptr), 0);
        std::this_thread::sleep_for(300ms);
    } else if (name == "xml_silent_request") {
        ASSERT_EQ(zxxml_init(), 0);
        const int m = zxxml_open("127.0.0.1", port, &settings, nullptr);
        ASSERT_GT(m, 0);
        ASSERT_EQ(zxxml_wait_finish(m, 0, 5), 0);
        ASSERT_EQ(zxxml_get_values(m), 0);
        std::this_thread::sleep_for(300ms);
    } else if (name == "xml_group") {
        ASSERT_EQ(zxxml_init(), 0);
        const int idle = zxxml_open_many(nullptr);
        ASSERT_GT(idle, 0);
        const int busy = zxxml_open_many(nullptr);
        ASSERT_GT(busy, 0);
        ASSERT_EQ(zxxml_add_module(busy, "127.0.0.1", port, nullptr), 0);
        ASSERT_EQ(zxxml_add_module(busy, "127.0.0.1", 1, nullptr), 1);
        ASSERT_EQ(zxxml_wait_finish(busy, 0, 5), 0);
        ASSERT_EQ(zxxml_get_values(busy), 0);
        std::this_thread::sleep_for(300ms);
    } else if (name == "xml_close_wait") {
        ASSERT_EQ(zxxml_init(), 0);
        settings.callbacks.on_values = values_blocking;
        const int m = zxxml_open("127.0.0.1", port, &settings, nullptr);
        ASSERT_GT(m, 0);
        ASSERT_EQ(zxxml_wait_finish(m, 0, 5), 0);
        ASSERT_EQ(zxxml_get_values(m), 0);
        ASSERT_TRUE(wait_until(g_in_callback, 5000ms));
        // The close waits its 3 s for a worker held in the callback.
        std::thread([m] { zxxml_close(m); }).detach();
        std::this_thread::sleep_for(200ms);
    } else if (name == "pld_idle" || name == "pld_connecting" || name == "pld_download") {
        ASSERT_EQ(zxpld_init(), 0);
        zxpld_settings_struct s{};
        ASSERT_EQ(zxpld_clr_settings_struct(&s), 0);
        s.address = "127.0.0.1";
        s.port = port;
        s.on_data = on_data;
        const int m = zxpld_open(&s);
        ASSERT_GT(m, 0);
        if (name == "pld_idle") return;
        ASSERT_EQ(zxpld_get_spilog_csv(m), 0);
        if (name == "pld_connecting") {
            std::this_thread::sleep_for(300ms);
            return;
        }
        const auto end = Clock::now() + 5s;
        while (g_data_chunks < 2 && Clock::now() < end) std::this_thread::sleep_for(5ms);
        ASSERT_GE(g_data_chunks.load(), 2) << "the download never got going";
    } else {
        FAIL() << "unknown case " << name;
    }
}

TEST(ExitChild, Run) {
    const std::string name = env(kCaseVar);
    if (name.empty()) GTEST_SKIP() << "runs only as a child of the exit tests";
    enter_state(name, std::atoi(env(kPortVar).c_str()));
    if (HasFatalFailure()) return;
    const int fd = std::atoi(env(kFdVar).c_str());
    const char mark = 'x';
    ASSERT_EQ(write(fd, &mark, 1), 1);
    if (env(kHowVar) == "exit") std::exit(0);
    // Otherwise the test returns and main returns after it.
}

// ---- the parent side -----------------------------------------------------------

struct ChildResult {
    bool marked = false;          // the child reached its state and said so
    bool exited = false;          // it ended within the bound after that
    int status = -1;              // wait status
    std::chrono::milliseconds exit_time{0};
    std::string output;
};

ChildResult run_child(const std::string &name, const std::string &how, int port) {
    ChildResult r;
    int mark[2], out[2];
    if (pipe(mark) != 0 || pipe(out) != 0) return r;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, out[1], 2);
    posix_spawn_file_actions_addclose(&actions, mark[0]);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    std::vector<std::string> args{"/proc/self/exe", "--gtest_filter=ExitChild.Run"};
    std::vector<std::string> vars{std::string(kCaseVar) + "=" + name, std::string(kHowVar) + "=" + how,
                                  std::string(kPortVar) + "=" + std::to_string(port),
                                  std::string(kFdVar) + "=" + std::to_string(mark[1])};
    // ThreadSanitizer sleeps a second at exit by default to catch late races;
    // that sleep is the sanitizer's, not the program's.
    std::string tsan = "TSAN_OPTIONS=atexit_sleep_ms=0";
    for (char **e = environ; *e; ++e) {
        if (std::string(*e).rfind("TSAN_OPTIONS=", 0) == 0)
            tsan = std::string(*e) + ":atexit_sleep_ms=0";
        else
            vars.emplace_back(*e);
    }
    vars.push_back(tsan);
    std::vector<char *> argv, envp;
    for (auto &a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    for (auto &v : vars) envp.push_back(v.data());
    envp.push_back(nullptr);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    close(mark[1]);
    close(out[1]);
    if (rc != 0) {
        close(mark[0]);
        close(out[0]);
        return r;
    }
    // Reads what the child prints, so it never blocks on a full pipe.
    auto drain = [&](int ms) {
        pollfd fds[2] = {{mark[0], POLLIN, 0}, {out[0], POLLIN, 0}};
        if (poll(fds, 2, ms) <= 0) return;
        char buffer[4096];
        if (fds[1].revents) {
            const ssize_t n = read(out[0], buffer, sizeof buffer);
            if (n > 0) r.output.append(buffer, static_cast<size_t>(n));
        }
        if (fds[0].revents && !r.marked) {
            const ssize_t n = read(mark[0], buffer, 1);
            r.marked = n == 1;
        }
    };
    const auto setup_end = Clock::now() + 15s;
    while (!r.marked && Clock::now() < setup_end) {
        drain(50);
        if (r.marked) break;
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid) {  // ended before its state was reached
            r.status = status;
            close(mark[0]);
            close(out[0]);
            return r;
        }
    }
    const auto marked_at = Clock::now();
    bool reaped = false;
    while (r.marked && Clock::now() - marked_at < kExitBound) {
        if (waitpid(pid, &r.status, WNOHANG) == pid) {
            reaped = true;
            break;
        }
        drain(2);
    }
    r.exit_time = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - marked_at);
    r.exited = reaped;
    if (!reaped) {
        kill(pid, SIGKILL);
        waitpid(pid, &r.status, 0);
    }
    drain(0);
    close(mark[0]);
    close(out[0]);
    return r;
}

void expect_clean_exit(const std::string &name, int port) {
    for (const char *how : {"return", "exit"}) {
        SCOPED_TRACE(name + " / " + how);
        const ChildResult r = run_child(name, how, port);
        ASSERT_TRUE(r.marked) << "the child never reached its state\n" << r.output;
        EXPECT_TRUE(r.exited) << "still running " << r.exit_time.count() << " ms after main ended\n" << r.output;
        EXPECT_TRUE(WIFEXITED(r.status) && WEXITSTATUS(r.status) == 0)
            << "wait status " << r.status << "\n" << r.output;
        ::testing::Test::RecordProperty(name + "_" + how + "_ms", static_cast<int>(r.exit_time.count()));
    }
}

class ProgramExit : public ::testing::Test {
protected:
    void SetUp() override {
        if (!env(kCaseVar).empty()) GTEST_SKIP() << "a child runs only its own case";
    }
    void start_unit(sim::UnitConfig config = {}) {
        unit = std::make_unique<kalax::sim::Unit>(std::move(config));
        ASSERT_TRUE(unit->start(0));
    }
    void TearDown() override {
        if (unit) unit->stop();
    }
    std::unique_ptr<kalax::sim::Unit> unit;
};

TEST_F(ProgramExit, XmlModuleIdle) {
    start_unit();
    expect_clean_exit("xml_idle", unit->port());
}

TEST_F(ProgramExit, XmlModuleConnectingToASilentAddress) {
    kalax::test::FullListener silent;
    ASSERT_GT(silent.port(), 0);
    expect_clean_exit("xml_connecting", silent.port());
}

TEST_F(ProgramExit, XmlModuleMidRequestToASilentUnit) {
    start_unit();
    sim::Fault mute;
    mute.never_answer = true;
    unit->set_fault("/values.xml", mute);
    expect_clean_exit("xml_silent_request", unit->port());
    EXPECT_GE(unit->request_count(), 2u);  // one per child: each was mid-request
}

TEST_F(ProgramExit, GroupModulesIdleAndMidPass) {
    start_unit();
    sim::Fault mute;
    mute.never_answer = true;
    unit->set_fault("/values.xml", mute);
    expect_clean_exit("xml_group", unit->port());
    EXPECT_GE(unit->request_count(), 2u);
}

TEST_F(ProgramExit, DuringACloseWaitingForACallback) {
    start_unit();
    expect_clean_exit("xml_close_wait", unit->port());
}

TEST_F(ProgramExit, LogModuleIdle) {
    start_unit();
    expect_clean_exit("pld_idle", unit->port());
}

TEST_F(ProgramExit, LogModuleConnectingToASilentAddress) {
    kalax::test::FullListener silent;
    ASSERT_GT(silent.port(), 0);
    expect_clean_exit("pld_connecting", silent.port());
}

TEST_F(ProgramExit, LogModuleMidDownload) {
    sim::UnitConfig config;
    config.history_periods = 200;
    start_unit(config);
    sim::Fault drip;
    drip.drip_bytes = 256;
    drip.drip_delay_ms = 50;
    unit->set_fault("/spilog.txt", drip);
    expect_clean_exit("pld_download", unit->port());
}

}  // namespace
