// The transport at its real time bounds: a connect that never completes, and a
// unit that drips its reply for ever.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "sdk/runtime/transport.h"
#include "support/full_listener.h"

using namespace kalax;

namespace {

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

TEST(ConnectSlow, ConnectThatNeverCompletesReportsTimedOut) {
    kalax::test::FullListener full;
    ASSERT_NE(full.port(), 0) << "could not fill a listener's queue";
    rt::Runtime rt;
    std::atomic<int> state{1};
    platform::Socket socket = platform::kNoSocket;
    const rt::Link link{&rt, 5, &state, &socket};
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(rt::connect_dotted(link, "127.0.0.1", full.port()), rt::kIoFailed);
    const double took = seconds_since(start);
    EXPECT_GE(took, rt::kConnectSlices - 0.5);
    EXPECT_LE(took, rt::kConnectSlices + 2.0);
    zx_error_struct e{};
    rt.read_error(5, &e);
    EXPECT_EQ(e.code, 28);
    EXPECT_EQ(e.sys_code, ETIMEDOUT);
    EXPECT_EQ(socket, platform::kNoSocket);
}

TEST(ReceiveSlow, HeadDrippedForEverEndsAtTheTimeBound) {
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    std::atomic<bool> done{false};
    std::thread unit([&] {
        const std::string head = "HTTP/1.0 200 OK\r\nX-Slow: ";
        for (size_t i = 0; !done; ++i) {
            const char byte = i < head.size() ? head[i] : 'x';
            if (send(fds[1], &byte, 1, MSG_NOSIGNAL) != 1) return;
            for (int t = 0; t < 20 && !done; ++t) std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    });
    rt::Runtime rt;
    std::atomic<int> state{1};
    platform::Socket ours = fds[0];
    const rt::Link link{&rt, 4, &state, &ours};

    struct Discard final : rt::BodySink {
        int body(const char *, size_t) override { return 0; }
    } sink;
    const auto start = std::chrono::steady_clock::now();
    const int rc = rt::receive_response(link, sink);
    const double took = seconds_since(start);
    done = true;
    unit.join();
    close(fds[0]);
    close(fds[1]);
    EXPECT_EQ(rc, rt::kIoFailed);
    zx_error_struct e{};
    rt.read_error(4, &e);
    EXPECT_EQ(e.code, 19);
    EXPECT_EQ(e.sys_code, ETIMEDOUT);
    EXPECT_GE(took, rt::kResponseGraceMs / 1000.0);
    EXPECT_LE(took, rt::kResponseGraceMs / 1000.0 + 4.0);
}
