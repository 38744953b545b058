// One HTTP/1.0 exchange with a unit over a fresh TCP connection: the sliced
// readiness wait, the socket setup, sending, and the response reader with its
// end-of-header recogniser and status check. Both clients use these; they differ
// only in how a connection's address is found and where the body goes.
#pragma once

#include <atomic>
#include <cstddef>

#include "sdk/runtime/platform.h"
#include "sdk/runtime/runtime.h"

namespace kalax::rt {

// Results of the transport steps. kStopped: the module is being closed; the
// caller abandons the request without any callback.
inline constexpr int kIoOk = 0;
inline constexpr int kIoFailed = -1;
inline constexpr int kIoStopped = -2;

// Waits are cut into 1-second slices; after each the module's state is read.
inline constexpr int kSliceMs = 1000;
inline constexpr int kConnectSlices = 5;
inline constexpr int kSendSlices = 5;
inline constexpr int kReceiveSlices = 10;
// Bytes taken from the socket per read.
inline constexpr size_t kReadChunk = 1024;

// The module a transport step works for: where failures are stored, the state
// that tells it to stop (0 = closing), and the slot's socket.
struct Link {
    Runtime *rt;
    int slot;
    const std::atomic<int> *state;
    platform::Socket *socket;

    bool stopping() const { return state->load(std::memory_order_acquire) == 0; }
};

// Up to `slices` waits of one second; kIoOk when ready, kIoFailed after the last
// slice, kIoStopped as soon as the state reads 0.
int wait_ready(const Link &link, bool for_write, int slices);

// Socket setup and connect to a dotted address: codes 26, 27, 29, 28. The socket
// is left in the link on success and closed on failure. No callback is made.
int connect_dotted(const Link &link, const char *dotted, int port);

// Sends every byte (a short send goes on with the rest): codes 30, 35.
int send_all(const Link &link, const char *text, size_t length);

// Closes the link's socket if one is open.
void close_socket(const Link &link);

// CR LF CR LF recogniser.
class HeaderEnd {
public:
    // true when `byte` completes the header.
    bool feed(unsigned char byte) noexcept {
        static constexpr unsigned char next[4][3] = {{1, 0, 0}, {0, 2, 0}, {3, 0, 0}, {0, 4, 0}};
        const int cls = byte == '\r' ? 0 : byte == '\n' ? 1 : 2;
        state_ = next[state_][cls];
        if (state_ == 4) { state_ = 0; return true; }
        return false;
    }

private:
    int state_ = 0;
};

// Where a response body goes.
class BodySink {
public:
    virtual ~BodySink() = default;
    // The body bytes of one read (none while the header is still arriving).
    // Returns 0, or a result code that fails the response.
    virtual int body(const char *data, size_t count) = 0;
};

// Reads the response until the unit closes or stays silent for 10 slices,
// checks the status (codes 47-70), drops the header and hands the body to the
// sink. Code 34 on a read failure.
int receive_response(const Link &link, BodySink &sink);

// The XML client's body sink: a fixed buffer, NUL-terminated, that fails with
// code 12 once capacity - 1 bytes would be exceeded.
class FixedBody final : public BodySink {
public:
    FixedBody(char *buffer, int capacity) : buffer_(buffer), capacity_(capacity) {}
    int body(const char *data, size_t count) override;
    int length() const { return length_; }

private:
    char *buffer_;
    int capacity_;
    int length_ = 0;
};

// Base64 of "user:password" (each at most 127 characters) into `out`,
// NUL-terminated; its length, or -1 when it does not fit.
int basic_credentials(const char *user, const char *password, char *out, size_t capacity);

// The same placed in "Authorization: Basic %s\r\n". The line
// is written into `out` (capacity bytes, NUL-terminated); its length, or -1 when
// it does not fit.
int authorization_line(const char *user, const char *password, char *out, size_t capacity);

}  // namespace kalax::rt
