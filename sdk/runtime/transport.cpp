#include "sdk/runtime/transport.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "sdk/runtime/b64.h"

namespace kalax::rt {

namespace {

// One slice of a readiness wait, then the state: kIoOk when ready, kIoFailed
// when the slice passed without, kIoStopped when the module is closing.
int wait_slice(const Link &link, bool for_write) {
    const platform::Ready r = platform::socket_wait(*link.socket, for_write, kSliceMs);
    // Whatever the slice gave, a closing module wins.
    if (link.stopping()) return kIoStopped;
    if (r == platform::Ready::Yes) return kIoOk;
    if (r == platform::Ready::Error) platform::sleep_ms(kSliceMs);  // a failed wait still costs its slice
    return kIoFailed;
}

// Tries `attempt` (a send or receive that never waits) and waits only when it
// would block: a slice at a time, at most `slices` in all, trying again once
// the socket is ready. The state is read before every attempt and after every
// slice. kIoOk with the attempt's result (bytes, 0, or -1) in `*result`;
// kIoFailed when the slices ran out; kIoStopped.
// With `wait_first` the waiting comes first, for a socket that is known to
// have nothing yet.
template <typename Attempt>
int attempt_or_wait(const Link &link, bool for_write, int slices, Attempt attempt, long *result,
                    bool wait_first = false) {
    int used = 0;
    for (;;) {
        if (link.stopping()) return kIoStopped;
        const long n = wait_first ? platform::kWouldBlock : attempt();
        wait_first = false;
        if (n != platform::kWouldBlock) {
            *result = n;
            return kIoOk;
        }
        for (;;) {
            if (used == slices) return kIoFailed;
            ++used;
            const int w = wait_slice(link, for_write);
            if (w == kIoStopped) return w;
            if (w == kIoOk) break;
        }
    }
}

}  // namespace

int wait_ready(const Link &link, bool for_write, int slices) {
    for (int i = 0; i < slices; ++i) {
        const int w = wait_slice(link, for_write);
        if (w != kIoFailed) return w;
    }
    return kIoFailed;
}

void close_socket(const Link &link) {
    if (*link.socket != platform::kNoSocket) {
        platform::socket_close(*link.socket);
        *link.socket = platform::kNoSocket;
    }
}

int connect_dotted(const Link &link, const char *dotted, int port) {
    // The code is stored while errno still tells the step's own failure.
    auto fail = [&](int code) {
        link.rt->set_error(link.slot, code);
        close_socket(link);
        return kIoFailed;
    };
    if (!platform::socket_layer_init()) {
        link.rt->set_error(link.slot, kSOCKET_INIT);
        return kIoFailed;
    }
    close_socket(link);
    *link.socket = platform::socket_tcp();
    if (*link.socket == platform::kNoSocket) {
        link.rt->set_error(link.slot, kSOCKET_CREATE);
        return kIoFailed;
    }
    if (!platform::socket_set_nonblocking(*link.socket)) return fail(kSOCKET_NONBLOCK);
    platform::ConnectStart start = platform::socket_connect(*link.socket, dotted, port);
    // A nearby unit has often answered by the time the call returns: asking
    // once more spares the wait and the outcome query.
    if (start == platform::ConnectStart::InProgress) start = platform::socket_connect(*link.socket, dotted, port);
    if (start == platform::ConnectStart::Failed) return fail(kSOCKET_CONNECT);
    if (start == platform::ConnectStart::InProgress) {
        const int w = wait_ready(link, true, kConnectSlices);
        if (w == kIoStopped) {
            close_socket(link);
            return kIoStopped;
        }
        if (w != kIoOk) {
            platform::socket_set_timed_out();
            return fail(kSOCKET_CONNECT);
        }
        // Writable also when the connect failed: its outcome tells which.
        if (!platform::socket_connect_result(*link.socket)) return fail(kSOCKET_CONNECT);
    }
    return kIoOk;
}

int send_all(const Link &link, const char *text, size_t length) {
    size_t sent = 0;
    do {
        long n = 0;
        const int w = attempt_or_wait(
            link, true, kSendSlices,
            [&] { return platform::socket_try_send(*link.socket, text + sent, length - sent); }, &n);
        if (w == kIoStopped) return kIoStopped;
        if (w != kIoOk) {
            link.rt->set_error(link.slot, kSELECT_WRITE);
            return kIoFailed;
        }
        if (n < 0) {
            link.rt->set_error(link.slot, kSEND);
            return kIoFailed;
        }
        sent += static_cast<size_t>(n);
    } while (sent < length);
    return kIoOk;
}

HeadReader::Step HeadReader::feed(unsigned char byte) noexcept {
    if (position_ < kStatusLineMin) {
        if (byte == '\n') return Step::NotHttp;  // a status line too short to hold a status
        line_[position_] = static_cast<char>(byte);
        if (position_ + 1 == kStatusLineMin) {
            const bool digits = line_[9] >= '0' && line_[9] <= '9' && line_[10] >= '0' && line_[10] <= '9' &&
                                line_[11] >= '0' && line_[11] <= '9';
            if (std::memcmp(line_, "HTTP/", 5) != 0 || !digits) return Step::NotHttp;
            status_ = (line_[9] - '0') * 100 + (line_[10] - '0') * 10 + (line_[11] - '0');
        }
    }
    ++position_;
    if (byte == '\n') {
        if (end_state_ != 0) return Step::Done;
        end_state_ = 1;
    } else {
        end_state_ = byte == '\r' && end_state_ == 1 ? 2 : 0;
    }
    return position_ >= kHeadMax ? Step::NotHttp : Step::More;
}

namespace {

// A failure of the reply itself rather than of the system: the record must not
// carry whatever system error an earlier call left behind.
int reply_failure(const Link &link, int code) {
    errno = 0;
    link.rt->set_error(link.slot, code);
    return kIoFailed;
}

}  // namespace

int receive_response(const Link &link, BodySink &sink) {
    HeadReader head;
    bool head_done = false;
    size_t received = 0;  // bytes of the response, head included
    const int64_t started = platform::monotonic_ms();
    char chunk[kReadChunk];
    for (;;) {
        // Straight into the sink's storage where it offers room: one read then
        // takes what the unit has sent so far, however much that is.
        size_t room = 0;
        char *into = sink.room(&room);
        if (!into || room == 0) {
            into = chunk;
            room = sizeof chunk;
        }
        long n = 0;  // stays 0 after ten silent seconds: the unit is done
        // The unit needs a moment for its answer: a read right after the
        // request would find nothing. Later reads try first, as the rest of an
        // answer (and its end) is mostly there already.
        const int w = attempt_or_wait(
            link, false, kReceiveSlices, [&] { return platform::socket_try_recv(*link.socket, into, room); }, &n,
            received == 0);
        if (w == kIoStopped) return kIoStopped;
        if (n < 0) {
            link.rt->set_error(link.slot, kRECV);
            return kIoFailed;
        }
        if (n == 0) {
            if (head_done) return kIoOk;
            // The reply ended before its head did: an error status read so far
            // still tells why, anything else is no reply at all.
            const int code = head.status() >= 0 ? http_status_code(head.status()) : 0;
            return reply_failure(link, code ? code : kHTTP_UNKNOWN);
        }
        received += static_cast<size_t>(n);
        size_t body_start = 0;
        if (!head_done) {
            body_start = static_cast<size_t>(n);
            for (long i = 0; i < n; ++i) {
                const HeadReader::Step step = head.feed(static_cast<unsigned char>(into[i]));
                if (step == HeadReader::Step::NotHttp) return reply_failure(link, kHTTP_UNKNOWN);
                if (step == HeadReader::Step::Done) {
                    head_done = true;
                    body_start = static_cast<size_t>(i) + 1;
                    break;
                }
            }
            if (head_done) {
                if (const int code = http_status_code(head.status())) return reply_failure(link, code);
            }
        }
        if (received > kResponseMax) return reply_failure(link, kBUFFER_LIMIT);
        const size_t count = head_done ? static_cast<size_t>(n) - body_start : 0;
        if (const int code = sink.body(into + body_start, count)) return reply_failure(link, code);
        const int64_t allowed = kResponseGraceMs + static_cast<int64_t>(received * 1000 / kResponseMinRate);
        if (platform::monotonic_ms() - started > allowed) {
            platform::socket_set_timed_out();
            link.rt->set_error(link.slot, kTIMEOUT);
            return kIoFailed;
        }
    }
}

int basic_credentials(const char *user, const char *password, char *out, size_t capacity) {
    char joined[260];
    const int n = std::snprintf(joined, sizeof joined, "%s:%s", user ? user : "", password ? password : "");
    if (n < 0 || static_cast<size_t>(n) >= sizeof joined || capacity == 0) return -1;
    const size_t needed = b64_encode(joined, static_cast<size_t>(n), nullptr, 0);
    if (needed + 1 > capacity) return -1;
    std::memset(out, 0, needed + 1);
    b64_encode(joined, static_cast<size_t>(n), out, capacity - 1);
    return static_cast<int>(needed);
}

int authorization_line(const char *user, const char *password, char *out, size_t capacity) {
    char encoded[360];
    if (basic_credentials(user, password, encoded, sizeof encoded) < 0) return -1;
    const int m = std::snprintf(out, capacity, "Authorization: Basic %s\r\n", encoded);
    return m < 0 || static_cast<size_t>(m) >= capacity ? -1 : m;
}

}  // namespace kalax::rt
