// The object layer of the KalAx SDK: objects that wrap the C clients, keep a
// request status and the last error, and raise events to their owner on the
// owner's own thread (see zxevents.h for how a thread receives them).
#ifndef KALAX_ZXAPI_H
#define KALAX_ZXAPI_H

#include "zxapi_sensor.h"
#include "zxevents.h"
#include "zxxml_records.h"

#include <cstdint>
#include <memory>
#include <new>
#include <string>
#include <type_traits>
#include <utility>

#ifndef ZXAPI_CLASS  // zxapi_sensor.h defines it the same way
#if defined(KALAX_BUILDING) && !defined(_WIN32)
#define ZXAPI_CLASS __attribute__((visibility("default")))
#else
#define ZXAPI_CLASS
#endif
#endif

namespace zxapi {

// ---- status and error codes of the two object families ------------------------
enum IoXmlStatusT : std::uint8_t {
    IOXML_STATUS_CLOSED = 0,
    IOXML_STATUS_OPENED = 1,
    IOXML_STATUS_GET_VALUES_XML = 2,
    IOXML_STATUS_GET_SETUP_XML = 3,
    IOXML_STATUS_SET_SETUP_XML = 4,
    IOXML_STATUS_SET_OUTPUT = 5,
    IOXML_STATUS_SET_RANGE = 6,
    IOXML_STATUS_SET_NAME = 7,
    IOXML_STATUS_SET_CALIB = 8,
};

enum IoXmlErrorT : std::uint8_t {
    IOXML_ERROR_OPEN = 0,
    IOXML_ERROR_CLOSE = 1,
    IOXML_ERROR_GET_VALUES_XML = 2,
    IOXML_ERROR_GET_SETUP_XML = 3,
    IOXML_ERROR_SET_SETUP_XML = 4,
    IOXML_ERROR_SET_OUTPUT = 5,
    IOXML_ERROR_SET_RANGE = 6,
    IOXML_ERROR_SET_NAME = 7,
    IOXML_ERROR_SET_CALIB = 8,
};

enum KalLogStatusT : std::uint8_t {
    KALLOG_STATUS_CLOSED = 0,
    KALLOG_STATUS_OPENED = 1,
    KALLOG_STATUS_GET_CSV = 2,
    KALLOG_STATUS_GET_BIN = 3,
    KALLOG_STATUS_DELETE = 4,
    KALLOG_STATUS_DELETE_ALL = 5,
};

enum KalLogErrorT : std::uint8_t {
    KALLOG_ERROR_OPEN = 0,
    KALLOG_ERROR_CLOSE = 1,
    KALLOG_ERROR_GET_CSV = 2,
    KALLOG_ERROR_GET_BIN = 3,
    KALLOG_ERROR_WRITE_TO_FILE = 4,
    KALLOG_ERROR_DELETE = 5,
    KALLOG_ERROR_DELETE_ALL = 6,
    KALLOG_ERROR_CONNECT = 7,
    KALLOG_ERROR_CONV_BIN2CSV = 8,
};

// ---- object base and errors -----------------------------------------------------
class ZXAPI_CLASS TSdkObject {
public:
    explicit TSdkObject(void *owner) noexcept : Owner(owner) {}
    // The pointer the object was made for (for the automation objects: themselves).
    void *Owner;
};

// One error record of a C client in string form.
class ZXAPI_CLASS TSdkError {
public:
    TSdkError() = default;
    explicit TSdkError(const zx_error_struct &record);
    std::int32_t SdkCode = 0;
    std::int32_t SysCode = 0;
    std::string SdkDesc;
    std::string SysDesc;
};

// ---- event arguments --------------------------------------------------------------
// They live only for the call that delivers them: a handler that needs the data
// later copies it.
class ZXAPI_CLASS TEventArgs {
public:
    explicit TEventArgs(TSdkObject *sender) noexcept : Sender(sender) {}
    TSdkObject *Sender;
};

class ZXAPI_CLASS TSdkSimpleEventArgs : public TEventArgs {
public:
    using TEventArgs::TEventArgs;
};

class ZXAPI_CLASS TSdkErrorEventArgs : public TEventArgs {
public:
    // `code` is the raising family's IoXmlErrorT or KalLogErrorT.
    TSdkErrorEventArgs(TSdkObject *sender, std::uint8_t code, const zx_error_struct &record);
    std::uint8_t Code;
    std::int32_t SdkCode;
    std::int32_t SysCode;
    std::string SdkDesc;
    std::string SysDesc;
};

class ZXAPI_CLASS TIoXmlStatusEventArgs : public TEventArgs {
public:
    TIoXmlStatusEventArgs(TSdkObject *sender, std::uint8_t status) noexcept
        : TEventArgs(sender), Status(status) {}
    std::uint8_t Status;
};

// The values block. `Cache` and `Counts` point at the event's own copy of the
// records as they stood when the worker finished: they stay valid for the
// handler's call whatever the client does meanwhile.
class ZXAPI_CLASS TIoXmlValuesEventArgs : public TEventArgs {
public:
    TIoXmlValuesEventArgs(TSdkObject *sender, const zxxml_values_struct *cache,
                          const zxxml_values_count_struct *counts, const char *address,
                          std::int32_t port) noexcept;
    const zxxml_values_struct *Cache;
    const zxxml_values_count_struct *Counts;
    char Address[16];  // dotted IPv4 address, at most 15 characters
    std::int32_t Port;
};

class ZXAPI_CLASS TIoXmlSetupEventArgs : public TEventArgs {
public:
    TIoXmlSetupEventArgs(TSdkObject *sender, const zxxml_setup_struct *cache,
                         const zxxml_setup_count_struct *counts, const char *address,
                         std::int32_t port, std::uint8_t status) noexcept;
    const zxxml_setup_struct *Cache;
    const zxxml_setup_count_struct *Counts;
    char Address[16];
    std::int32_t Port;
    std::uint8_t Status;  // the operation that produced the setup
};

class ZXAPI_CLASS TKalLogStatusEventArgs : public TEventArgs {
public:
    TKalLogStatusEventArgs(TSdkObject *sender, std::uint8_t status) noexcept
        : TEventArgs(sender), Status(status) {}
    std::uint8_t Status;
};

class ZXAPI_CLASS TKalLogBufferEventArgs : public TEventArgs {
public:
    TKalLogBufferEventArgs(TSdkObject *sender, std::int32_t csv, const char *data,
                           std::uint32_t size) noexcept
        : TEventArgs(sender), Csv(csv), Data(data), Size(size) {}
    std::int32_t Csv;
    const char *Data;
    std::uint32_t Size;
};

// ---- handlers ----------------------------------------------------------------------
class ZXAPI_CLASS TEventCustom {
public:
    virtual void Invoke(TEventArgs &args) = 0;
    virtual ~TEventCustom();
};

// Binds one member function of one owner. The slot it is put in decides the
// argument class, so the downcast in Invoke always holds.
template <class Owner, class Args>
class EventHandler : public TEventCustom {
public:
    using Method = void (Owner::*)(Args &);
    EventHandler(Owner *owner, Method method) noexcept : owner_(owner), method_(method) {}
    void Invoke(TEventArgs &args) override { (owner_->*method_)(static_cast<Args &>(args)); }

private:
    Owner *owner_;
    Method method_;
};

// Any callable taking `Args &`, for owners that are not classes of their own.
template <class Args, class F>
class FunctionHandler : public TEventCustom {
public:
    explicit FunctionHandler(F f) : f_(std::move(f)) {}
    void Invoke(TEventArgs &args) override { f_(static_cast<Args &>(args)); }

private:
    F f_;
};

// An owning slot for at most one handler of events with arguments `Args`.
template <class Args>
class THandlerSlot {
public:
    THandlerSlot() = default;
    THandlerSlot(const THandlerSlot &) = delete;
    THandlerSlot &operator=(const THandlerSlot &) = delete;

    // Takes ownership of `handler` (null empties the slot). The handler held
    // before is destroyed, unless it is the one given again.
    void Set(TEventCustom *handler) noexcept {
        if (handler == handler_.get()) return;
        handler_.reset(handler);
    }
    template <class Owner>
    void Set(Owner *owner, void (Owner::*method)(Args &)) {
        Set(new EventHandler<Owner, Args>(owner, method));
    }
    template <class F, class = std::enable_if_t<std::is_invocable_v<F &, Args &>>>
    void Set(F f) {
        Set(new FunctionHandler<Args, F>(std::move(f)));
    }
    TEventCustom *Get() const noexcept { return handler_.get(); }
    explicit operator bool() const noexcept { return handler_ != nullptr; }

    // Invokes the handler, if any, with `args`.
    void Raise(Args &args) const {
        if (handler_) handler_->Invoke(args);
    }

private:
    std::unique_ptr<TEventCustom> handler_;
};

// ---- owner-thread delivery ---------------------------------------------------------
namespace detail {
class OwnerQueue;

// One posted event. A TEventTarget's poster derives its payload from it (see
// PostedWith) and allocates it before posting, so a post itself needs no memory.
struct Posted {
    explicit Posted(unsigned message) noexcept : Message(message) {}
    virtual ~Posted() = default;
    Posted(const Posted &) = delete;
    Posted &operator=(const Posted &) = delete;

    unsigned Message;

private:
    friend class OwnerQueue;
    std::uint64_t target_ = 0;
    Posted *next_ = nullptr;
};

template <class Payload>
struct PostedWith final : Posted {
    template <class... A>
    explicit PostedWith(unsigned message, A &&...a) : Posted(message), payload{std::forward<A>(a)...} {}
    Payload payload;
};

// Allocates an event for posting from a worker thread: null when memory is
// short, which the poster treats as a lost event (nothing else can be done in
// a notification).
template <class Payload, class... A>
std::unique_ptr<Posted> MakePosted(unsigned message, A &&...a) noexcept {
    return std::unique_ptr<Posted>(new (std::nothrow) PostedWith<Payload>(message, std::forward<A>(a)...));
}

// The payload of an event made by MakePosted<Payload>.
template <class Payload>
Payload &PayloadOf(Posted &event) noexcept {
    return static_cast<PostedWith<Payload> &>(event).payload;
}
}  // namespace detail

// Base of every object whose worker notifications are delivered on the thread
// that made it. Posting works from any thread and never blocks; delivery
// happens when that thread calls zx_events_dispatch or zx_events_wait (or a
// loop that watches zx_events_fd). Events still queued for an object when it
// stops receiving them are dropped and freed.
class ZXAPI_CLASS TEventTarget {
public:
    TEventTarget(const TEventTarget &) = delete;
    TEventTarget &operator=(const TEventTarget &) = delete;

protected:
    // Binds to the calling thread's queue, made if the thread has none.
    TEventTarget();
    // Stops receiving (see StopEvents) if the derived class has not done so.
    virtual ~TEventTarget();

    // Queues `event` (made with detail::MakePosted) for delivery to this object
    // on its owner thread. Takes the event whatever happens; never blocks on
    // the owner and never fails.
    void Post(std::unique_ptr<detail::Posted> event) const noexcept;
    // Drops this object's pending events. Later posts still queue; they are
    // dropped unless the object still receives.
    void PurgeEvents() noexcept;
    // No event is delivered to this object after this returns: when another
    // thread is inside this object's delivery, waits for it to return first.
    // Derived classes call it first thing in their destructors.
    void StopEvents() noexcept;
    // Runs on the owner thread for each delivered event.
    virtual void DeliverEvent(detail::Posted &event) = 0;

private:
    friend class detail::OwnerQueue;
    std::shared_ptr<detail::OwnerQueue> queue_;
    std::uint64_t id_;
};

// ---- helpers -----------------------------------------------------------------------
// Resolves `host` (UTF-8) to the dotted form of its first IPv4 address into `ip`:
// 0; -1 when it does not resolve, `ip` unchanged.
ZXAPI_CLASS int ResolveHostIP(const char *host, std::string &ip);

// The data log's record filter as the log client applies it: true when a record
// of `type` (0 normal, 1 alarm) and `group` (0-4) passes both filters
// (KALLOG_TYPE_* and KALLOG_GROUP_* of zxpld.h; a value outside them keeps all).
ZXAPI_CLASS bool KeepLogRecord(int type_filter, int group_filter, unsigned char type, unsigned char group);

}  // namespace zxapi

#include "zxapi_log.h"
#include "zxapi_device.h"

#endif
