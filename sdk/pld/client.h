// The data-log client's state: its own runtime instance, the module table and
// the library-wide open gate, next-slot cursor and reference count.
#pragma once

#include <array>
#include <atomic>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "kalax/zxpld.h"
#include "sdk/runtime/module_table.h"
#include "sdk/runtime/runtime.h"
#include "sdk/runtime/transport.h"

namespace kalax::pld {

inline constexpr int kSlots = rt::kSlots;

// Slot states.
using rt::kFree;
using rt::kOpening;  // taken by zxpld_open until its worker runs
using rt::kRunning;

// Request kinds; the kind of the last request stays after it was served.
inline constexpr uint8_t kNone = 0;
inline constexpr uint8_t kCsv = 1;
inline constexpr uint8_t kBin = 2;
inline constexpr uint8_t kDel = 3;
inline constexpr uint8_t kDelAll = 4;

inline constexpr size_t kAddressSize = rt::kAddressSize;
inline constexpr size_t kCredentialSize = 128;
inline constexpr size_t kRequestSize = 1024;
inline constexpr size_t kAuthLineSize = 512;

// The download buffer: its size when the worker starts, the least it grows by,
// and the most it may hold. The transport ends a reply at kResponseMax bytes, so
// a body and its terminator never need more; growth, which can double the
// buffer, is cut at the same bound. Lengths reach callbacks as int.
inline constexpr size_t kDownloadInitial = 102400;
inline constexpr size_t kDownloadStep = 102400;
inline constexpr size_t kDownloadLimit = rt::kResponseMax + 1;
static_assert(kDownloadLimit <= static_cast<size_t>(INT_MAX));

struct Callbacks {
    void (*on_connect)(int, void *) = nullptr;
    void (*on_connect_error)(int, void *, zx_error_struct *) = nullptr;
    void (*on_data)(int, void *, const char *, int) = nullptr;
    void (*on_csv)(int, void *, const char *, int) = nullptr;
    void (*on_bin)(int, void *, const char *, int) = nullptr;
    void (*on_del)(int, void *) = nullptr;
    void (*on_delall)(int, void *) = nullptr;
    void (*on_csv_error)(int, void *, zx_error_struct *) = nullptr;
    void (*on_bin_error)(int, void *, zx_error_struct *) = nullptr;
    void (*on_del_error)(int, void *, zx_error_struct *) = nullptr;
    void (*on_delall_error)(int, void *, zx_error_struct *) = nullptr;
};

Callbacks callbacks_of(const zxpld_settings_struct &settings);

// The lifecycle (state, closing, request semaphore) comes from the core.
struct Module : rt::SlotCore {
    char address[kAddressSize] = {};
    int32_t port = 0;
    int32_t type_filter = 0;
    int32_t group_filter = 0;
    int32_t auth = 0;
    void *user_data = nullptr;
    char request_text[kRequestSize] = {};  // the request line the worker sends next
    char user[kCredentialSize] = {};
    char password[kCredentialSize] = {};
    uint8_t kind = kNone;
    Callbacks callbacks;
    platform::Socket socket = platform::kNoSocket;

    rt::Link link(rt::Runtime &rt, int slot) { return rt::Link{&rt, slot, &state, &socket}; }
};

// The filter pass applied to every CSV download; a seam so that tests can make
// it fail as it would without memory.
using FilterPass = int (*)(int type_filter, int group_filter, std::vector<char> &text, int *length);

struct Client final : rt::ModuleTable {
    std::array<Module, kSlots> modules;
    rt::InitCount init_count;
    FilterPass filter_pass;

    Client();

protected:
    rt::SlotCore &core(int slot) override { return modules[rt::clamp_slot(slot)]; }
    void release(int slot) override;
};

Client &client();

// Worker thread of one module; `arg` carries the slot number.
void worker_entry(void *arg);

// Writes the request text of `kind` into the module (caller holds the slot
// lock). 0, or -1 when the text does not fit (code 75 on the module).
int build_request(Client &c, int slot, uint8_t kind);

// The log client's body sink: appends to the worker's download buffer, keeps
// the text zero-terminated, grows the buffer by the larger of the new total and
// kDownloadStep when the body and its terminator would not fit, and reports
// every chunk to on_data (also chunks without body bytes). Growing past `limit`
// bytes, or failing to get the memory, fails the response with code 5.
class GrowingBody final : public rt::BodySink {
public:
    using OnData = void (*)(int, void *, const char *, int);

    GrowingBody(std::vector<char> &buffer, int module, void *user_data, OnData on_data,
                size_t limit = kDownloadLimit)
        : buffer_(buffer), module_(module), user_data_(user_data), on_data_(on_data), limit_(limit) {}

    int body(const char *data, size_t count) override;
    int length() const { return static_cast<int>(length_); }

private:
    std::vector<char> &buffer_;
    int module_;
    void *user_data_;
    OnData on_data_;
    size_t limit_;
    size_t length_ = 0;
};

}  // namespace kalax::pld
