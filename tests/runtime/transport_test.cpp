// The response reader and sender over a local socket pair: status mapping,
// head recognition, replies that are none, bounds, and stopping when the module
// closes; the connect's own errors over loopback.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <string>
#include <thread>

#include "sdk/runtime/transport.h"
#include "unitsim/unitsim.h"

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

// Keeps the body; fails with `refuse_code` once it holds more than `limit` bytes.
class StringBody final : public rt::BodySink {
public:
    explicit StringBody(size_t limit = SIZE_MAX, int refuse_code = 75) : limit_(limit), refuse_code_(refuse_code) {}
    int body(const char *data, size_t count) override {
        if (text.size() + count > limit_) return refuse_code_;
        text.append(data, count);
        return 0;
    }
    std::string text;

private:
    size_t limit_;
    int refuse_code_;
};

struct Received {
    int rc;
    std::string body;
    int length;
};

Received receive(Pair &p) {
    StringBody body;
    const int rc = rt::receive_response(p.link(), body);
    return {rc, body.text, static_cast<int>(body.text.size())};
}

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
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

TEST(Receive, ASinkCodeFailsTheResponse) {
    Pair p;
    p.answer("HTTP/1.0 200 OK\r\n\r\n0123456789");
    StringBody body(4, 12);
    EXPECT_EQ(rt::receive_response(p.link(), body), rt::kIoFailed);
    EXPECT_EQ(p.code(), 12);
}

TEST(Receive, ShortAndBareLineFeedHeadsEndWhereTheyEnd) {
    const struct {
        const char *reply;
        int code;          // 0: accepted
        const char *body;  // when accepted
    } rows[] = {
        {"HTTP/1.0 401\r\n\r\n", 48, ""},
        {"HTTP/1.0 401\n\n", 48, ""},
        {"HTTP/1.0 500\n\r\nbody", 65, ""},
        {"HTTP/1.0 404 Not Found\nServer: x\n\nbody", 51, ""},
        {"HTTP/1.0 200\r\n\r\nbody", 0, "body"},
        {"HTTP/1.0 200\n\nbody\n\nmore", 0, "body\n\nmore"},
        {"HTTP/1.0 200 OK\r\nX: y\n\r\nbody", 0, "body"},
        {"HTTP/1.1 200 OK\r\nX: y\r\n\nbody", 0, "body"},
    };
    for (const auto &row : rows) {
        Pair p;
        p.answer(row.reply);
        const Received r = receive(p);
        if (row.code) {
            EXPECT_EQ(r.rc, rt::kIoFailed) << row.reply;
            EXPECT_EQ(p.code(), row.code) << row.reply;
            EXPECT_EQ(r.length, 0) << row.reply;
        } else {
            EXPECT_EQ(r.rc, rt::kIoOk) << row.reply;
            EXPECT_EQ(r.body, row.body) << row.reply;
        }
    }
}

TEST(Receive, ReplyWithoutAStatusLineAndHeadIsNoReply) {
    const std::string rows[] = {
        "",                                        // closed at once
        "garbage that is not HTTP at all\r\n\r\n",  // garbage
        "<?xml version=\"1.0\"?><Root/>",           // a body without any head
        "HTTP/1.0 4x1 Odd\r\n\r\nbody",              // no status digits
        "HTTP/1\r\n\r\n200 X\r\n\r\nbody",            // status line cut short
        "http/1.0 200 OK\r\n\r\nbody",
        "HTTP/1.0 200 OK\r\nContent-Type: text/xml\r\n",  // a success head that never ends
        "HTTP/1.0 200",
    };
    for (const std::string &reply : rows) {
        Pair p;
        errno = EAGAIN;  // whatever an earlier call left must not reach the record
        p.answer(reply);
        const Received r = receive(p);
        EXPECT_EQ(r.rc, rt::kIoFailed) << reply;
        EXPECT_EQ(p.code(), 71) << reply;
        EXPECT_EQ(r.length, 0) << reply;
        zx_error_struct e{};
        p.rt.read_error(3, &e);
        EXPECT_EQ(e.sys_code, 0) << reply;
    }
}

TEST(Receive, ErrorStatusOfAHeadCutShortStillCounts) {
    Pair p;
    p.answer("HTTP/1.0 401 Unauthorized\r\nWWW-Authenticate: Basic\r\n");
    EXPECT_EQ(receive(p).rc, rt::kIoFailed);
    EXPECT_EQ(p.code(), 48);
}

TEST(Receive, HeadBeyondItsBoundIsNoReply) {
    Pair p;
    std::thread writer([&] {
        std::string head = "HTTP/1.0 200 OK\r\n";
        while (head.size() <= rt::kHeadMax) head += "X-Filler: 0123456789012345678901234567890123456789\r\n";
        p.answer(head + "\r\nbody");
    });
    const Received r = receive(p);
    writer.join();
    EXPECT_EQ(r.rc, rt::kIoFailed);
    EXPECT_EQ(p.code(), 71);
}

TEST(Receive, EndlessStreamEndsAtTheResponseBound) {
    Pair p;
    std::atomic<bool> done{false};
    std::thread writer([&] {
        const std::string head = "HTTP/1.0 200 OK\r\n\r\n";
        if (send(p.theirs, head.data(), head.size(), MSG_NOSIGNAL) < 0) return;
        const std::string block(65536, 's');
        while (!done && send(p.theirs, block.data(), block.size(), MSG_NOSIGNAL) > 0) {
        }
    });
    StringBody body;
    const int rc = rt::receive_response(p.link(), body);
    done = true;
    shutdown(p.ours, SHUT_RDWR);  // the writer's next write fails
    writer.join();
    EXPECT_EQ(rc, rt::kIoFailed);
    EXPECT_EQ(p.code(), 12);
    EXPECT_LE(body.text.size(), rt::kResponseMax);
    EXPECT_GT(body.text.size(), rt::kResponseMax - 2 * rt::kReadChunk);
}

TEST(Receive, ClosingModuleStopsTheWaitWithinASlice) {
    // The close lands in the middle of the second slice of a silent wait; the
    // wait ends when that slice does, not ten slices later.
    Pair p;
    const auto start = std::chrono::steady_clock::now();
    std::chrono::steady_clock::time_point closed;
    std::thread closer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(rt::kSliceMs + rt::kSliceMs / 2));
        closed = std::chrono::steady_clock::now();
        p.state = 0;
    });
    const Received r = receive(p);
    const double took = seconds_since(start);
    closer.join();
    EXPECT_EQ(r.rc, rt::kIoStopped);
    const double after_close = std::chrono::duration<double>(std::chrono::steady_clock::now() - closed).count();
    EXPECT_LE(after_close, rt::kSliceMs / 1000.0 + 0.25) << "at most one slice after the close";
    EXPECT_GE(took, 2 * rt::kSliceMs / 1000.0 - 0.1) << "the slice under way runs to its end";
    EXPECT_EQ(p.code(), 0) << "a stop is no failure";
}

TEST(Receive, ClosingModuleReadsNothingMoreEvenWithDataWaiting) {
    // Reads do not wait while data is there, so the state must be read before
    // each of them too: a unit that streams without pause would otherwise keep
    // a closing module's worker until the response bound.
    Pair p;
    const std::string reply = "HTTP/1.0 200 OK\r\n\r\n" + std::string(60000, 's');
    ASSERT_EQ(send(p.theirs, reply.data(), reply.size(), MSG_NOSIGNAL), static_cast<ssize_t>(reply.size()));
    p.state = 0;
    const Received r = receive(p);
    EXPECT_EQ(r.rc, rt::kIoStopped);
    EXPECT_EQ(r.body, "");
    p.state = 1;
    EXPECT_EQ(rt::send_all(p.link(), "x", 1), rt::kIoOk);
    p.state = 0;
    EXPECT_EQ(rt::send_all(p.link(), "x", 1), rt::kIoStopped) << "nor sends anything";
    char got[4] = {};
    EXPECT_EQ(recv(p.theirs, got, sizeof got, MSG_DONTWAIT), 1);
}

TEST(Connect, RefusedReportsTheConnectsOwnError) {
    rt::Runtime rt;
    std::atomic<int> state{1};
    platform::Socket socket = platform::kNoSocket;
    const rt::Link link{&rt, 5, &state, &socket};
    errno = ENOTCONN;  // what the old peer check reported
    EXPECT_EQ(rt::connect_dotted(link, "127.0.0.1", sim::refused_port()), rt::kIoFailed);
    EXPECT_EQ(socket, platform::kNoSocket) << "the failed socket is closed";
    zx_error_struct e{};
    rt.read_error(5, &e);
    EXPECT_EQ(e.code, 28);
    EXPECT_EQ(e.sys_code, ECONNREFUSED);
    EXPECT_STREQ(e.sys_text, "Connection refused");
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
