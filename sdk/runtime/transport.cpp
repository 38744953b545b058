#include "sdk/runtime/transport.h"

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
    auto fail = [&](int code) {
        close_socket(link);
        link.rt->set_error(link.slot, code);
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
        if (w != kIoOk) return fail(kSOCKET_CONNECT);
    }
    if (!platform::socket_has_peer(*link.socket)) return fail(kSOCKET_CONNECT);
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

int receive_response(const Link &link, BodySink &sink) {
    HeaderEnd header_end;
    bool header_passed = false;
    size_t position = 0;   // bytes of the response seen so far
    char status[3] = {0, 0, 0};
    char chunk[kReadChunk];
    for (;;) {
        const int w = wait_ready(link, false, kReceiveSlices);
        if (w == kIoStopped) return kIoStopped;
        if (w != kIoOk) return kIoOk;  // ten silent seconds end the response
        const long n = platform::socket_recv(*link.socket, chunk, sizeof chunk);
        if (n < 0) {
            link.rt->set_error(link.slot, kRECV);
            return kIoFailed;
        }
        if (n == 0) return kIoOk;
        size_t body_start = 0;
        if (!header_passed) {
            body_start = static_cast<size_t>(n);
            for (long i = 0; i < n; ++i, ++position) {
                if (position >= 9 && position <= 11) status[position - 9] = chunk[i];
                if (position < 14) continue;  // the status line's first bytes are never examined
                if (header_end.feed(static_cast<unsigned char>(chunk[i]))) {
                    header_passed = true;
                    body_start = static_cast<size_t>(i) + 1;
                    position += static_cast<size_t>(n - i);
                    break;
                }
            }
            if (header_passed) {
                int value = 0;
                for (char c : status) value = c >= '0' && c <= '9' ? value * 10 + (c - '0') : -1000;
                if (const int code = http_status_code(value)) {
                    link.rt->set_error(link.slot, code);
                    return kIoFailed;
                }
            }
        }
        const size_t count = header_passed ? static_cast<size_t>(n) - body_start : 0;
        if (const int code = sink.body(chunk + body_start, count)) {
            link.rt->set_error(link.slot, code);
            return kIoFailed;
        }
    }
}

int FixedBody::body(const char *data, size_t count) {
    if (count == 0) return 0;
    if (static_cast<size_t>(length_) + count >= static_cast<size_t>(capacity_)) return kBUFFER_LIMIT;
    std::memcpy(buffer_ + length_, data, count);
    length_ += static_cast<int>(count);
    buffer_[length_] = '\0';
    return 0;
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
