// TIoXml: the device object's events. Operations raise theirs on the caller's
// thread; what a worker reports is posted with copies of the records and
// raised on the owner thread.
#include <cstring>

#include "kalax/zxapi_device.h"
#include "kalax/zxxml.h"
#include "zxapi/device_detail.h"
#include "zxapi/owner_queue.h"

namespace zxapi {

using detail::MakePosted;
using detail::ModuleRecord;
using detail::PayloadOf;

namespace {

struct StatusPayload {
    std::uint8_t status;
};

struct ValuesPayload {
    zxxml_values_struct values;
    zxxml_values_count_struct counts;
    char address[16];
    std::int32_t port;
};

struct SetupPayload {
    zxxml_setup_struct setup;
    zxxml_setup_count_struct counts;
    char address[16];
    std::int32_t port;
    std::uint8_t status;
};

struct ErrorPayload {
    std::uint8_t code;
    zx_error_struct record;
};

// The temporary module of a two-step change has done its part: the owner
// thread closes it. Never reaches a handler.
constexpr unsigned kTemporaryFinished = 0x4ff;
struct TemporaryPayload {
    std::uint64_t seq;
};

void fill_address(int module, char (&address)[16], std::int32_t &port) {
    int p = 0;
    if (zxxml_get_module(module, address, &p) == -1) std::memset(address, 0, sizeof address);
    address[sizeof address - 1] = '\0';
    port = p;
}

}  // namespace

TIoXml::TIoXml(void *owner) : TIoXmlCustom(owner) {}

TIoXml::~TIoXml() {
    // Nothing is delivered from here on; then no worker can call in any more
    // (the module's worker is joined, or can only reach a cleared link); then
    // what they posted meanwhile goes. The handlers go last, with the members.
    StopEvents();
    ShutDown();
    PurgeEvents();
}

void TIoXml::PostError(std::uint8_t code, const zx_error_struct &record) const noexcept {
    Post(MakePosted<ErrorPayload>(IOXML_MSG_ERROR, ErrorPayload{code, record}));
}

// ---- notifications (worker threads) -------------------------------------------------
void TIoXml::DoConnect(int, void *, int) {
    Post(MakePosted<StatusPayload>(IOXML_MSG_STATUS, StatusPayload{Status.load()}));
}

void TIoXml::DoValuesXml(int module, void *, int, zxxml_values_struct *, zxxml_values_count_struct *) {
    auto event = MakePosted<ValuesPayload>(IOXML_MSG_VALUES);
    if (!event) {  // no memory for the copy: the event is lost, the request ends
        Status = IOXML_STATUS_OPENED;
        return;
    }
    ValuesPayload &p = PayloadOf<ValuesPayload>(*event);
    if (zxxml_get_values_cache_copy(module, &p.values, &p.counts) == -1) {
        const zx_error_struct record = ModuleRecord(module);
        Status = IOXML_STATUS_OPENED;
        PostError(IOXML_ERROR_GET_VALUES_XML, record);
        return;
    }
    fill_address(module, p.address, p.port);
    Status = IOXML_STATUS_OPENED;
    Post(std::move(event));
}

namespace {

template <class Post, class Fail>
void post_setup(int module, unsigned message, IoXmlStatusT status, std::atomic<IoXmlStatusT> &to_idle, Post &&post,
                Fail &&fail) {
    auto event = MakePosted<SetupPayload>(message);
    if (!event) {
        to_idle = IOXML_STATUS_OPENED;
        return;
    }
    SetupPayload &p = PayloadOf<SetupPayload>(*event);
    if (zxxml_get_setup_cache_copy(module, &p.setup, &p.counts) == -1) {
        const zx_error_struct record = ModuleRecord(module);
        to_idle = IOXML_STATUS_OPENED;
        fail(record);
        return;
    }
    fill_address(module, p.address, p.port);
    p.status = status;
    to_idle = IOXML_STATUS_OPENED;
    post(std::move(event));
}

}  // namespace

void TIoXml::DoSetupXml(int module, void *, int, zxxml_setup_struct *, zxxml_setup_count_struct *) {
    post_setup(
        module, IOXML_MSG_SETUP, Status.load(), Status, [&](auto event) { Post(std::move(event)); },
        [&](const zx_error_struct &record) { PostError(IOXML_ERROR_GET_SETUP_XML, record); });
}

void TIoXml::DoSetupXmlSent(int module, void *, int, zxxml_setup_struct *, zxxml_setup_count_struct *) {
    const IoXmlStatusT change = Status.load();
    post_setup(
        module, IOXML_MSG_SETUP_SENT, change, Status, [&](auto event) { Post(std::move(event)); },
        [&](const zx_error_struct &record) { PostError(detail::ErrorOfStatus(change), record); });
}

void TIoXml::DoOldVerValues(int module, void *, int, zxxml_values_struct *, zxxml_values_count_struct *) {
    const IoXmlStatusT change = Status.load();
    if (detail::IsTwoStepStatus(change)) {
        zx_error_struct record{};
        if (FinishOldVerRequest(module, record) != 0) PostError(detail::ErrorOfStatus(change), record);
    }
    // Its worker cannot close its own module: the owner thread does.
    Post(MakePosted<TemporaryPayload>(kTemporaryFinished, TemporaryPayload{TemporarySeq()}));
}

// ---- delivery (owner thread) -----------------------------------------------------------
void TIoXml::DeliverEvent(detail::Posted &event) {
    switch (event.Message) {
    case IOXML_MSG_STATUS: {
        TIoXmlStatusEventArgs args(this, PayloadOf<StatusPayload>(event).status);
        OnConnect.Raise(args);
        break;
    }
    case IOXML_MSG_VALUES: {
        const ValuesPayload &p = PayloadOf<ValuesPayload>(event);
        TIoXmlValuesEventArgs args(this, &p.values, &p.counts, p.address, p.port);
        OnValuesXml.Raise(args);
        break;
    }
    case IOXML_MSG_SETUP:
    case IOXML_MSG_SETUP_SENT: {
        const SetupPayload &p = PayloadOf<SetupPayload>(event);
        TIoXmlSetupEventArgs args(this, &p.setup, &p.counts, p.address, p.port, p.status);
        (event.Message == IOXML_MSG_SETUP ? OnSetupXml : OnSetupXmlSent).Raise(args);
        break;
    }
    case IOXML_MSG_ERROR: {
        const ErrorPayload &p = PayloadOf<ErrorPayload>(event);
        RaiseError(p.code, p.record);
        break;
    }
    case kTemporaryFinished:
        ReleaseTemporary(PayloadOf<TemporaryPayload>(event).seq);
        break;
    default:
        break;
    }
}

// ---- operations (caller's thread) -------------------------------------------------------
void TIoXml::RaiseError(std::uint8_t code, const zx_error_struct &record) {
    if (!OnError) return;
    TSdkErrorEventArgs args(this, code, record);
    OnError.Raise(args);
}

int TIoXml::Report(int rc, std::uint8_t error_code, bool refusal_has_event) {
    switch (rc) {
    case 0: {
        if (OnStart) {
            TSdkSimpleEventArgs args(this);
            OnStart.Raise(args);
        }
        break;
    }
    case -1:
        RaiseError(error_code, ModuleRecord(Handle));
        break;
    case -2:
        if (refusal_has_event) RaiseError(error_code, LastError);
        break;
    default:  // a change refused before anything was sent
        RaiseError(error_code, LastError);
        break;
    }
    return rc;
}

int TIoXml::Open() {
    const int rc = TIoXmlCustom::Open();
    if (rc == 0) {
        if (OnOpen) {
            TSdkSimpleEventArgs args(this);
            OnOpen.Raise(args);
        }
    } else if (rc == -1) {
        RaiseError(IOXML_ERROR_OPEN, ModuleRecord(0));
    }
    return rc;
}

int TIoXml::Close() {
    const int rc = TIoXmlCustom::Close();
    if (rc == 0) {
        PurgeEvents();  // the module's last reports are not news any more
        if (OnClose) {
            TSdkSimpleEventArgs args(this);
            OnClose.Raise(args);
        }
    } else if (rc == -1) {
        RaiseError(IOXML_ERROR_CLOSE, ModuleRecord(Handle));
    }
    return rc;
}

int TIoXml::GetValuesXml() { return Report(TIoXmlCustom::GetValuesXml(), IOXML_ERROR_GET_VALUES_XML, false); }
int TIoXml::GetSetupXml() { return Report(TIoXmlCustom::GetSetupXml(), IOXML_ERROR_GET_SETUP_XML, false); }
int TIoXml::SetSetupXml(const char *text) {
    return Report(TIoXmlCustom::SetSetupXml(text), IOXML_ERROR_SET_SETUP_XML, false);
}
int TIoXml::LoadValuesXml(const char *text) {
    return Report(TIoXmlCustom::LoadValuesXml(text), IOXML_ERROR_GET_VALUES_XML, false);
}
int TIoXml::SetOutput(std::uint32_t id, std::uint32_t value) {
    return Report(TIoXmlCustom::SetOutput(id, value), IOXML_ERROR_SET_OUTPUT, false);
}
int TIoXml::SetRange(std::uint32_t id, float min, float max) {
    return Report(TIoXmlCustom::SetRange(id, min, max), IOXML_ERROR_SET_RANGE, true);
}
int TIoXml::SetSensName(std::uint32_t id, const char *name) {
    return Report(TIoXmlCustom::SetSensName(id, name), IOXML_ERROR_SET_NAME, true);
}
int TIoXml::SetCalib(std::uint32_t id, float calib) {
    return Report(TIoXmlCustom::SetCalib(id, calib), IOXML_ERROR_SET_CALIB, true);
}

}  // namespace zxapi
