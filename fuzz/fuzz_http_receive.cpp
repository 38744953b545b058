// A unit's HTTP response as the transport reads it: the bytes are written into
// one end of a local socket pair, that end is closed, and receive_response
// reads the other end through the usual readiness waits (the close makes every
// wait return at once). The status line, the head reader and the body's way
// into its sink are all the real ones.
//
// Input: one control byte, then the response.
//   bits 0-1  0, 1: the XML client's 20000-byte FixedBody;
//             2:    a FixedBody of 1-256 bytes (next byte + 1), so the
//                   buffer limit is reached by short inputs too;
//             3:    the log client's GrowingBody, starting empty, with a limit
//                   of 1-65536 bytes (next two bytes + 1).
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "sdk/pld/client.h"
#include "sdk/runtime/result_codes.h"
#include "sdk/runtime/transport.h"
#include "sdk/xml/fixed_body.h"

using namespace kalax;

namespace {

constexpr int kSlot = 7;

// The response is written in one go before anything is read, so it must fit
// in the socket's send buffer; ask for more room than any input can need.
constexpr int kSocketBuffer = 1 << 20;

struct Pair {
    int ours = -1;
    int theirs = -1;
    Pair() {
        int fds[2];
        if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) std::abort();
        ours = fds[0];
        theirs = fds[1];
        setsockopt(theirs, SOL_SOCKET, SO_SNDBUF, &kSocketBuffer, sizeof kSocketBuffer);
        setsockopt(ours, SOL_SOCKET, SO_RCVBUF, &kSocketBuffer, sizeof kSocketBuffer);
    }
    ~Pair() {
        if (ours >= 0) close(ours);
        if (theirs >= 0) close(theirs);
    }
    Pair(const Pair &) = delete;
    Pair &operator=(const Pair &) = delete;

    // The unit sends everything and closes. False when the socket would not
    // take it all (then the input is skipped, not judged).
    bool answer(std::string_view bytes) {
        size_t sent = 0;
        while (sent < bytes.size()) {
            const ssize_t n = send(theirs, bytes.data() + sent, bytes.size() - sent, MSG_DONTWAIT | MSG_NOSIGNAL);
            if (n <= 0) return false;
            sent += static_cast<size_t>(n);
        }
        close(theirs);
        theirs = -1;
        return true;
    }
};

rt::Runtime &runtime() {
    static rt::Runtime rt;
    return rt;
}

int stored_code() {
    zx_error_struct e{};
    runtime().read_error(kSlot, &e);
    return e.code;
}

bool failure_code(int code, bool growing) {
    if (code >= kHTTP_400 && code <= kHTTP_505) return true;  // mapped statuses
    if (code == kRECV || code == kHTTP_UNKNOWN || code == kBUFFER_LIMIT) return true;
    return growing && code == kMEMORY;
}

// A reply that succeeded began with a status line "HTTP/x.y NNN" of a status
// outside the failure table.
void check_status_line(std::string_view response) {
    FUZZ_CHECK(response.size() >= 14 && response.substr(0, 5) == "HTTP/");
    int status = 0;
    for (size_t i = 9; i < 12; ++i) {
        FUZZ_CHECK(response[i] >= '0' && response[i] <= '9');
        status = status * 10 + (response[i] - '0');
    }
    FUZZ_CHECK(http_status_code(status) == 0);
}

// A body is what follows the head up to the close: a tail of the response,
// after at least the 12-byte status line and the 2 that end the shortest head.
void check_body(std::string_view response, const char *body, size_t length) {
    if (length == 0) return;
    FUZZ_CHECK(length + 14 <= response.size());
    FUZZ_CHECK(std::memcmp(body, response.data() + response.size() - length, length) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz::Bytes in(data, size);
    const uint8_t control = in.byte();
    const int mode = control & 3;
    int capacity = 20000;
    size_t limit = 0;
    if (mode == 2) capacity = 1 + in.byte();
    if (mode == 3) limit = 1 + static_cast<size_t>(in.u16());
    const std::string_view response = in.rest();

    Pair pair;
    if (!pair.answer(response)) return 0;
    std::atomic<int> state{1};
    platform::Socket socket = pair.ours;
    const rt::Link link{&runtime(), kSlot, &state, &socket};
    runtime().set_error(kSlot, 0);

    if (mode != 3) {
        // The body's buffer is exactly its capacity, so a write past it is caught.
        std::unique_ptr<char[]> buffer(new char[static_cast<size_t>(capacity)]);
        xml::FixedBody body(buffer.get(), capacity);
        const int rc = rt::receive_response(link, body);
        FUZZ_CHECK(rc == rt::kIoOk || rc == rt::kIoFailed);
        FUZZ_CHECK(body.length() >= 0 && body.length() < capacity);
        if (rc == rt::kIoFailed) {
            FUZZ_CHECK(failure_code(stored_code(), false));
            return 0;
        }
        check_status_line(response);
        const auto length = static_cast<size_t>(body.length());
        if (length > 0) FUZZ_CHECK(buffer[length] == '\0');
        check_body(response, buffer.get(), length);
        return 0;
    }

    std::vector<char> buffer;
    pld::GrowingBody body(buffer, kSlot, nullptr, nullptr, limit);
    const int rc = rt::receive_response(link, body);
    FUZZ_CHECK(rc == rt::kIoOk || rc == rt::kIoFailed);
    FUZZ_CHECK(buffer.size() <= limit);
    if (rc == rt::kIoFailed) {
        FUZZ_CHECK(failure_code(stored_code(), true));
        return 0;
    }
    check_status_line(response);
    const auto length = static_cast<size_t>(body.length());
    if (length > 0) FUZZ_CHECK(length < buffer.size() && buffer[length] == '\0');
    check_body(response, buffer.data(), length);
    return 0;
}
