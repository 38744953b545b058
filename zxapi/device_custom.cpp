// TIoXmlCustom: settings, the module, the status and the requests of one unit.
#include <cstring>

#include "kalax/zxapi_device.h"
#include "kalax/zxxml.h"
#include "sdk/runtime/result_codes.h"
#include "sdk/xml/client.h"
#include "zxapi/device_detail.h"
#include "zxapi/device_link.h"
#include "zxapi/family.h"
#include "zxapi/sensor_module.h"

namespace zxapi {

using detail::LinkCall;
using detail::LinkClear;
using detail::LinkOpen;

namespace detail {

zx_error_struct ModuleRecord(int module) noexcept {
    zx_error_struct e{};
    // Never a handle the client does not know: -1 would store code 18 in slot 0.
    zxxml_error(module > 0 && module < ZXXML_ID_COUNT_MAX ? module : 0, &e);
    return e;
}

zx_error_struct MakeRecord(int code, const char *text) noexcept {
    zx_error_struct e{};
    e.code = code;
    if (text)
        std::strncpy(e.text, text, sizeof e.text - 1);
    else
        std::strncpy(e.text, kalax::code_text(code), sizeof e.text - 1);
    return e;
}

}  // namespace detail

namespace {

void copy_credential(char (&to)[AUTHENTICATE_MAX], const std::string &from) {
    const std::size_t n = std::min(from.size(), sizeof to - 1);
    std::memcpy(to, from.data(), n);
    std::memset(to + n, 0, sizeof to - n);
}

// The client's callbacks: through the token to the object's notification slots.
void on_connect(int module, void *token, int index) {
    LinkCall(token, [&](TIoXmlCustom &o) { o.DoConnect(module, &o, index); });
}
void on_values(int module, void *token, int index, zxxml_values_struct *v, zxxml_values_count_struct *c) {
    LinkCall(token, [&](TIoXmlCustom &o) { o.DoValuesXml(module, &o, index, v, c); });
}
void on_setup(int module, void *token, int index, zxxml_setup_struct *s, zxxml_setup_count_struct *c) {
    LinkCall(token, [&](TIoXmlCustom &o) { o.DoSetupXml(module, &o, index, s, c); });
}
void on_send_setup(int module, void *token, int index, zxxml_setup_struct *s, zxxml_setup_count_struct *c) {
    LinkCall(token, [&](TIoXmlCustom &o) { o.DoSetupXmlSent(module, &o, index, s, c); });
}
void on_old_values(int module, void *token, int index, zxxml_values_struct *v, zxxml_values_count_struct *c) {
    LinkCall(token, [&](TIoXmlCustom &o) { o.DoOldVerValues(module, &o, index, v, c); });
}

}  // namespace

TIoXmlCustom::TIoXmlCustom(void *owner) : TSdkObject(owner) { detail::Family::Devices().Join(); }

TIoXmlCustom::~TIoXmlCustom() {
    ShutDown();
    detail::Family::Devices().Leave();
}

void TIoXmlCustom::ShutDown() noexcept {
    // Detach first: once the links are cleared no notification runs or will
    // run, whatever the closes below manage.
    LinkClear(link_);
    link_ = nullptr;
    CloseTemporary();
    if (Handle != -1) {
        // A close that times out leaves a worker that can only reach the
        // cleared link.
        zxxml_close(Handle);
        Handle = -1;
    }
    Status = IOXML_STATUS_CLOSED;
}

void TIoXmlCustom::CloseTemporary() noexcept {
    if (temp_handle_ == -1) return;
    LinkClear(temp_link_);
    temp_link_ = nullptr;
    zxxml_close(temp_handle_);
    temp_handle_ = -1;
}

void TIoXmlCustom::ReleaseTemporary(std::uint64_t seq) noexcept {
    if (seq == temp_seq_) CloseTemporary();
}

// ---- notifications ----------------------------------------------------------------
void TIoXmlCustom::DoConnect(int, void *, int) {}

void TIoXmlCustom::DoValuesXml(int, void *, int, zxxml_values_struct *, zxxml_values_count_struct *) {
    Status = IOXML_STATUS_OPENED;
}

void TIoXmlCustom::DoSetupXml(int, void *, int, zxxml_setup_struct *, zxxml_setup_count_struct *) {
    Status = IOXML_STATUS_OPENED;
}

void TIoXmlCustom::DoSetupXmlSent(int, void *, int, zxxml_setup_struct *, zxxml_setup_count_struct *) {
    Status = IOXML_STATUS_OPENED;
}

void TIoXmlCustom::DoOldVerValues(int module, void *, int, zxxml_values_struct *, zxxml_values_count_struct *) {
    // Without an owner queue the temporary module ends with the next change,
    // Close or the destructor, all on the owner thread.
    if (detail::IsTwoStepStatus(Status.load())) {
        zx_error_struct ignored{};
        FinishOldVerRequest(module, ignored);
    }
}

// ---- operations ---------------------------------------------------------------------
int TIoXmlCustom::Open() {
    if (Status != IOXML_STATUS_CLOSED) return -2;
    zxxml_settings_struct s;
    zxxml_clr_settings_struct(&s);
    s.connect_on_open = 0;
    copy_credential(s.get_user, Username);
    copy_credential(s.set_user, Username);
    copy_credential(s.get_password, Password);
    copy_credential(s.set_password, Password);
    s.callbacks.on_values = on_values;
    s.callbacks.on_setup = on_setup;
    s.callbacks.on_send_setup = on_send_setup;
    s.callbacks.on_connect = on_connect;
    void *token = LinkOpen(this);
    if (!token) {
        kalax::xml::client().rt.set_error(0, kalax::kMEMORY);
        return -1;
    }
    const int handle = zxxml_open(IP.c_str(), static_cast<int>(Port), &s, token);
    if (handle == -1) {
        LinkClear(token);
        return -1;
    }
    if (zxxml_wait_finish(handle, 0, 2) == -1) {
        LinkClear(token);
        zxxml_close(handle);
        return -3;
    }
    Handle = handle;
    link_ = token;
    Status = IOXML_STATUS_OPENED;
    return 0;
}

int TIoXmlCustom::Close() {
    if (Status == IOXML_STATUS_CLOSED) return -2;
    CloseTemporary();
    if (Handle == -1) return 0;
    const int rc = zxxml_close(Handle);
    if (rc != -1) {
        LinkClear(link_);
        link_ = nullptr;
        Handle = -1;
        Status = IOXML_STATUS_CLOSED;
    }
    return rc;
}

namespace {

// The common frame of the plain requests: the status is set before the request
// is queued, because its notification may come at once.
template <class Queue>
int start_request(std::atomic<IoXmlStatusT> &status, IoXmlStatusT &started, IoXmlStatusT to, Queue &&queue) {
    if (status != IOXML_STATUS_OPENED) return -2;
    started = to;
    status = to;
    if (queue() == -1) {
        status = IOXML_STATUS_OPENED;
        return -1;
    }
    return 0;
}

int text_length(const char *text) { return text ? static_cast<int>(strnlen(text, 0x7fffffff)) : 0; }

}  // namespace

int TIoXmlCustom::GetValuesXml() {
    return start_request(Status, started_, IOXML_STATUS_GET_VALUES_XML, [&] { return zxxml_get_values(Handle); });
}

int TIoXmlCustom::GetSetupXml() {
    return start_request(Status, started_, IOXML_STATUS_GET_SETUP_XML, [&] { return zxxml_get_setup(Handle); });
}

int TIoXmlCustom::SetSetupXml(const char *text) {
    return start_request(Status, started_, IOXML_STATUS_SET_SETUP_XML,
                         [&] { return zxxml_send_setup_xml(Handle, text, text_length(text)); });
}

int TIoXmlCustom::LoadValuesXml(const char *text) {
    return start_request(Status, started_, IOXML_STATUS_GET_VALUES_XML,
                         [&] { return zxxml_load_values(Handle, text, text_length(text)); });
}

void TIoXmlCustom::GetLastError(TSdkError &error, int AGlobal) const {
    error = TSdkError(detail::ModuleRecord(AGlobal || Handle == -1 ? 0 : Handle));
}

int TIoXmlCustom::GetCount(int ASetup) const {
    if (Status == IOXML_STATUS_CLOSED) return -2;
    return CountXmlItems(Handle, ASetup != 0);
}

int TIoXmlCustom::GetSensor(int position, TXmlSensorEnum &item, int ASetup) const {
    if (Status != IOXML_STATUS_OPENED) return -2;
    return GetXmlItem(Handle, ASetup != 0, position, item);
}

// ---- the temporary module of a two-step change ------------------------------------
int TIoXmlCustom::StartOldVerRequest() {
    CloseTemporary();  // one whose end has not been delivered yet
    zxxml_settings_struct s;
    zxxml_clr_settings_struct(&s);
    s.connect_on_open = 0;
    s.callbacks.on_values = on_old_values;
    void *token = LinkOpen(this);
    if (!token) {
        LastError = detail::MakeRecord(kalax::kMEMORY);
        return -2;
    }
    pending_handle_ = Handle;
    const int temp = zxxml_open(IP.c_str(), static_cast<int>(Port), &s, token);
    if (temp == -1) {
        LinkClear(token);
        LastError = detail::ModuleRecord(0);
        return -2;
    }
    temp_handle_ = temp;
    temp_link_ = token;
    ++temp_seq_;
    if (zxxml_wait_finish(temp, 0, 2) == -1) {
        // The client notes the timeout in slot 0; the temporary module's own
        // record is usually empty then.
        LastError = detail::ModuleRecord(temp);
        if (LastError.code == 0) LastError = detail::ModuleRecord(0);
        CloseTemporary();
        return -2;
    }
    if (zxxml_get_values(temp) == -1) {
        LastError = detail::ModuleRecord(temp);
        CloseTemporary();
        return -2;
    }
    return 0;
}

}  // namespace zxapi
