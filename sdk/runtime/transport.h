// One HTTP/1.0 exchange with a unit over a fresh TCP connection: the sliced
// readiness wait, the socket setup, sending, and the response reader with its
// head reader, status check and bounds. Both clients use these; they differ
// only in how a connection's address is found and where the body goes (each
// client has its own BodySink).
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
// Bytes taken from the socket per read into a sink that offers no room of its own.
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
// With code 28 the record's system error is the connect's own (a refusal gives
// ECONNREFUSED, "Connection refused"; a connect still pending after its five
// slices gives ETIMEDOUT).
int connect_dotted(const Link &link, const char *dotted, int port);

// Sends every byte (a short send goes on with the rest): codes 30, 35.
int send_all(const Link &link, const char *text, size_t length);

// Closes the link's socket if one is open.
void close_socket(const Link &link);

// Bounds of one response, so that no unit can hold a worker or its memory for
// ever. A unit answers within a second or two and sends its whole answer at
// once; these leave ample room for a slow link and none for a unit that drips
// or streams without end.
//
// A head is the status line and a few short header lines; 16 KiB is far more
// than any unit sends, and a longer one is no reply of a unit.
inline constexpr size_t kHeadMax = 16 * 1024;
// The whole response, head included. The largest answer is a unit's data log:
// its flash keeps some ten thousand records, a few megabytes as CSV lines.
// 32 MiB is ten times that and still a harmless amount of memory.
inline constexpr size_t kResponseMax = 32 * 1024 * 1024;
// Time: kResponseGraceMs for the answer to get going, plus one second for every
// kResponseMinRate bytes received. A real transfer, even over a slow link, stays
// far inside it (20000 bytes of XML may take 50 s); a unit that sends a byte
// every few seconds runs out of it after about 30 s.
inline constexpr int kResponseGraceMs = 30000;
inline constexpr size_t kResponseMinRate = 1024;  // bytes per second

// Reads the head of a response byte by byte: the status line (bytes 9-11 are
// the status digits after "HTTP/x.y ") and the empty line that ends the head:
// CR LF CR LF, or bare LF line ends as some servers send them (LF LF, LF CR LF).
class HeadReader {
public:
    enum class Step { More, Done, NotHttp };

    // Done: `byte` ended the head. NotHttp: the bytes so far cannot start a
    // reply (no "HTTP/" status line with three digits, a status line cut
    // short, or a head longer than kHeadMax).
    Step feed(unsigned char byte) noexcept;
    // The status digits, or -1 while the status line is incomplete.
    int status() const noexcept { return status_; }

private:
    static constexpr size_t kStatusLineMin = 12;  // "HTTP/1.0 200"
    char line_[kStatusLineMin] = {};
    size_t position_ = 0;
    int status_ = -1;
    int end_state_ = 0;  // 0 inside a line, 1 at a line's start, 2 after CR there
};

// Where a response body goes.
class BodySink {
public:
    virtual ~BodySink() = default;
    // The body bytes of one read (none while the head is still arriving).
    // Returns 0, or a result code that fails the response. `data` may lie
    // inside the room below.
    virtual int body(const char *data, size_t count) = 0;
    // Room for the next read straight in the sink's own storage, sparing a
    // copy: `*size` bytes at the pointer returned. What a read puts there is
    // scratch until body() is handed its body bytes (the head's are dropped,
    // so they may start further on). No room (the default): reads of
    // kReadChunk bytes go through the transport's own chunk.
    virtual char *room(size_t *size) {
        *size = 0;
        return nullptr;
    }
};

// Reads the response until the unit closes or stays silent for 10 slices,
// checks the status (codes 47-70), drops the head and hands the body to the
// sink. A reply counts only once its head has ended; failures:
//   34  a read failed (also a connection reset);
//   47-70  the unit's error status, also when the head was cut after it;
//   71  no reply: closed, silent for 10 s or garbage before a whole status line
//       and head, a non-error head cut short, or a head over kHeadMax;
//   12  the response passed kResponseMax bytes;
//   19  it ran past the time bound above (a unit that drips without end);
//   and any code the sink returns.
int receive_response(const Link &link, BodySink &sink);

// Base64 of "user:password" (each at most 127 characters) into `out`,
// NUL-terminated; its length, or -1 when it does not fit.
int basic_credentials(const char *user, const char *password, char *out, size_t capacity);

// The same placed in "Authorization: Basic %s\r\n". The line
// is written into `out` (capacity bytes, NUL-terminated); its length, or -1 when
// it does not fit.
int authorization_line(const char *user, const char *password, char *out, size_t capacity);

}  // namespace kalax::rt
