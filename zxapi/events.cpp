// The shared pieces of the object layer: error and argument classes, name
// resolution, and the C entry points of owner-thread delivery.
#include <cerrno>
#include <cstring>

#include "kalax/zxapi.h"
#include "sdk/pld/client.h"
#include "sdk/pld/filter.h"
#include "sdk/runtime/platform.h"
#include "sdk/xml/client.h"
#include "zxapi/owner_queue.h"

namespace zxapi {

namespace {

// A record's text up to its terminator, never past the field.
template <std::size_t N>
std::string field_text(const char (&text)[N]) {
    return std::string(text, strnlen(text, N));
}

template <std::size_t N>
void copy_address(char (&to)[N], const char *from) noexcept {
    std::size_t n = from ? strnlen(from, N - 1) : 0;
    if (n) std::memcpy(to, from, n);
    std::memset(to + n, 0, N - n);
}

}  // namespace

TSdkError::TSdkError(const zx_error_struct &record)
    : SdkCode(record.code),
      SysCode(record.sys_code),
      SdkDesc(field_text(record.text)),
      SysDesc(field_text(record.sys_text)) {}

TSdkErrorEventArgs::TSdkErrorEventArgs(TSdkObject *sender, std::uint8_t code, const zx_error_struct &record)
    : TEventArgs(sender),
      Code(code),
      SdkCode(record.code),
      SysCode(record.sys_code),
      SdkDesc(field_text(record.text)),
      SysDesc(field_text(record.sys_text)) {}

TIoXmlValuesEventArgs::TIoXmlValuesEventArgs(TSdkObject *sender, const zxxml_values_struct *cache,
                                             const zxxml_values_count_struct *counts, const char *address,
                                             std::int32_t port) noexcept
    : TEventArgs(sender), Cache(cache), Counts(counts), Port(port) {
    copy_address(Address, address);
}

TIoXmlSetupEventArgs::TIoXmlSetupEventArgs(TSdkObject *sender, const zxxml_setup_struct *cache,
                                           const zxxml_setup_count_struct *counts, const char *address,
                                           std::int32_t port, std::uint8_t status) noexcept
    : TEventArgs(sender), Cache(cache), Counts(counts), Port(port), Status(status) {
    copy_address(Address, address);
}

TEventCustom::~TEventCustom() = default;

bool KeepLogRecord(int type_filter, int group_filter, unsigned char type, unsigned char group) {
    return kalax::pld::keep_record(type_filter, group_filter, type, group);
}

int ResolveHostIP(const char *host, std::string &ip) {
    namespace platform = kalax::platform;
    char dotted[platform::kDottedSize];
    if (!host || !platform::socket_layer_init() || !platform::resolve_ipv4(host, dotted)) return -1;
    ip.assign(dotted, strnlen(dotted, sizeof dotted));
    return 0;
}

}  // namespace zxapi

namespace {

using zxapi::detail::OwnerQueue;

// The calling thread's queue, or null with "memory" in slot 0 of both
// clients: the host may be reading either client's library-wide record.
OwnerQueue *queue_or_fail() noexcept {
    try {
        return OwnerQueue::ForThisThread().get();
    } catch (...) {
        errno = ENOMEM;
        kalax::xml::client().rt.set_error(0, kalax::kMEMORY);
        kalax::pld::client().rt.set_error(0, kalax::kMEMORY);
        return nullptr;
    }
}

}  // namespace

extern "C" {

int zx_events_fd(void) {
    OwnerQueue *q = queue_or_fail();
    if (!q) return -1;
#if defined(_WIN32)
    // The thread's message loop delivers; there is no descriptor to watch.
    q->Fd();
    return -1;
#endif
    const int fd = q->Fd();
    if (fd < 0) {
        kalax::xml::client().rt.set_error(0, kalax::kMEMORY);
        kalax::pld::client().rt.set_error(0, kalax::kMEMORY);
    }
    return fd;
}

int zx_events_dispatch(int max) {
    OwnerQueue *q = OwnerQueue::ThisThreadIfAny();
    return q ? q->Dispatch(max) : 0;
}

int zx_events_wait(int timeout_ms) {
    OwnerQueue *q = queue_or_fail();
    return q ? q->Wait(timeout_ms) : 0;
}

}  // extern "C"
