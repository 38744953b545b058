// The response reader and sender over a local socket pair: status mapping,
// header recognition, body limits, and stopping when the module closes.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>

#include "sdk/runtime/transport.h"

using namespace kalax;

namespace {

struct Pair {
    rt::Runtime rt;
    std::atomic<int> state{1};
    platform::Socket ours = platform::kNoSocket;
    int theirs = -1;
    Pair() {
        int fds[2];
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        ours = fds[0];
        theirs = fds[1];
    }
    ~Pair() {
        if (ours != platform::kNoSocket) close(ours);
        if (theirs >= 0) close(theirs);
    }
    rt::Link link() { return rt::Link{&rt, 3, &state, &ours}; }
    // The unit answers with `bytes` and closes the connection.
    void answer(const std::string &bytes) {
        ASSERT_EQ(write(theirs, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
        close(theirs);
        theirs = -1;
    }
    int code() {
        zx_error_struct e{};
        rt.read_error(3, &e);
        return e.code;
    }
};

struct Received {
    int rc;
    std::string body;
    int length;
};

Received receive(Pair &p, int capacity = 20000) {
    std::string buffer(static_cast<size_t>(capacity), '\x7f');
    rt::FixedBody body(buffer.data(), capacity);
    const int rc = rt::receive_response(p.link(), body);
    return {rc, std::string(buffer.data(), static_cast<size_t>(body.length())), body.length()};
}

}  // namespace

TEST(Receive, DropsTheHeaderAndKeepsTheBody) {
    Pair p;
    p.answer("HTTP/1.0 200 OK\r\nContent-Type: text/xml\r\n\r\n<?xml version=\"1.0\"?><Root/>");
    const Received r = receive(p);
    EXPECT_EQ(r.rc, rt::kIoOk);
    EXPECT_EQ(r.body, "<?xml version=\"1.0\"?><Root/>");
}

TEST(Receive, BlankLineInsideTheBodyIsBody) {
    Pair p;
    p.answer("HTTP/1.0 200 OK\r\n\r\nfirst\r\n\r\nsecond");
    EXPECT_EQ(receive(p).body, "first\r\n\r\nsecond");
}

TEST(Receive, StatusTableAtItsEdges) {
    const struct {
        int status;
        int code;  // 0: accepted
    } rows[] = {{200, 0}, {302, 0}, {399, 0}, {400, 47}, {401, 48}, {417, 64}, {418, 0},
                {499, 0}, {500, 65}, {505, 70}, {506, 0}, {100, 0}};
    for (const auto &row : rows) {
        Pair p;
        p.answer("HTTP/1.0 " + std::to_string(row.status) + " Whatever\r\nX: y\r\n\r\nbody");
        const Received r = receive(p);
        if (row.code) {
            EXPECT_EQ(r.rc, rt::kIoFailed) << row.status;
            EXPECT_EQ(p.code(), row.code) << row.status;
            EXPECT_EQ(r.length, 0) << row.status;
        } else {
            EXPECT_EQ(r.rc, rt::kIoOk) << row.status;
            EXPECT_EQ(r.body, "body") << row.status;
        }
    }
}

TEST(Receive, BodyMustLeaveRoomForItsTerminator) {
    for (int size : {19998, 19999, 20000}) {
        Pair p;
        std::thread writer([&] { p.answer("HTTP/1.0 200 OK\r\n\r\n" + std::string(static_cast<size_t>(size), 'b')); });
        const Received r = receive(p);
        writer.join();
        if (size < 20000) {
            EXPECT_EQ(r.rc, rt::kIoOk) << size;
            EXPECT_EQ(r.length, size);
        } else {
            EXPECT_EQ(r.rc, rt::kIoFailed);
            EXPECT_EQ(p.code(), 12);
        }
    }
}

TEST(Receive, HeaderThatNeverEndsGivesAnEmptyBody) {
    Pair p;
    p.answer("HTTP/1.0 200 OK\r\nContent-Type: text/xml\r\n");
    const Received r = receive(p);
    EXPECT_EQ(r.rc, rt::kIoOk);
    EXPECT_EQ(r.length, 0);
}

TEST(Receive, FirstFourteenBytesAreNeverExamined) {
    // A blank line inside the first 14 bytes does not end the header.
    Pair p;
    p.answer("HTTP/1\r\n\r\n200 X\r\n\r\nbody");
    EXPECT_EQ(receive(p).body, "body");
}

TEST(Receive, NonDigitStatusIsAccepted) {
    Pair p;
    p.answer("HTTP/1.0 4x1 Odd\r\n\r\nbody");
    EXPECT_EQ(receive(p).body, "body");
}

TEST(Receive, ClosingModuleStopsTheWaitWithinASlice) {
    Pair p;
    std::thread closer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        p.state = 0;
    });
    const Received r = receive(p);
    closer.join();
    EXPECT_EQ(r.rc, rt::kIoStopped);
}

TEST(Send, EveryByteReachesThePeer) {
    Pair p;
    const std::string big(300000, 's');  // far more than one send takes on a socket pair
    std::string got;
    std::thread reader([&] {
        char buf[65536];
        ssize_t n;
        while (got.size() < big.size() && (n = read(p.theirs, buf, sizeof buf)) > 0) got.append(buf, static_cast<size_t>(n));
    });
    EXPECT_EQ(rt::send_all(p.link(), big.data(), big.size()), rt::kIoOk);
    reader.join();
    EXPECT_EQ(got.size(), big.size());
}

TEST(Credentials, BasicHeaderLine) {
    char line[400];
    EXPECT_GT(rt::authorization_line("user", "pass", line, sizeof line), 0);
    EXPECT_STREQ(line, "Authorization: Basic dXNlcjpwYXNz\r\n");
    rt::authorization_line("", "", line, sizeof line);
    EXPECT_STREQ(line, "Authorization: Basic Og==\r\n");
    EXPECT_EQ(rt::authorization_line("user", "pass", line, 20), -1);
}
