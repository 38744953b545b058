#include "sdk/runtime/transport.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "sdk/runtime/b64.h"

namespace kalax::rt {

int wait_ready(const Link &link, bool for_write, int slices) {
    for (int i = 0; i < slices; ++i) {
        const platform::Ready r = platform::socket_wait(*link.socket, for_write, kSliceMs);
        // Whatever the slice gave, a closing module wins.
        if (link.stopping()) return kIoStopped;
        if (r == platform::Ready::Yes) return kIoOk;
        if (r == platform::Ready::Error) platform::sleep_ms(kSliceMs);  // a failed wait still costs its slice
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
    const platform::ConnectStart start = platform::socket_connect(*link.socket, dotted, port);
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
        const int w = wait_ready(link, true, kSendSlices);
        if (w == kIoStopped) return kIoStopped;
        if (w != kIoOk) {
            link.rt->set_error(link.slot, kSELECT_WRITE);
            return kIoFailed;
        }
        const long n = platform::socket_send(*link.socket, text + sent, length - sent);
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
        const int w = wait_ready(link, false, kReceiveSlices);
        if (w == kIoStopped) return kIoStopped;
        long n = 0;  // stays 0 after ten silent seconds: the unit is done
        if (w == kIoOk) {
            n = platform::socket_recv(*link.socket, chunk, sizeof chunk);
            if (n < 0) {
                link.rt->set_error(link.slot, kRECV);
                return kIoFailed;
            }
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
                const HeadReader::Step step = head.feed(static_cast<unsigned char>(chunk[i]));
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
        if (const int code = sink.body(chunk + body_start, count)) return reply_failure(link, code);
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
