// The device objects: one monitoring unit seen through the agent XML client.
//
// TIoXmlCustom keeps the connection settings, owns one module of the client
// while it is open and keeps the status of the request in progress; TIoXml adds
// the events. Operations are called from the thread that made the object and
// never throw: 0 success, -1 a client call failed (detail in the client's error
// record), -2 the status does not allow the operation (nothing was started),
// -3 an operation-specific refusal (nothing was started; detail in LastError).
#ifndef KALAX_ZXAPI_DEVICE_H
#define KALAX_ZXAPI_DEVICE_H

#include <atomic>
#include <cstdint>
#include <string>

#include "zxapi.h"

namespace zxapi {

// The per-sensor items GetSensor fills. This declaration is the only place the
// device objects name the item type.
struct TXmlSensorEnum;

// Messages of the device objects' owner-thread events (first parameter the
// object, second the payload, which holds copies of what the worker saw).
enum IoXmlMessageT : unsigned {
    IOXML_MSG_STATUS = 0x400,      // Status (8-bit)                   -> OnConnect
    IOXML_MSG_VALUES = 0x401,      // values record, counts, address, port -> OnValuesXml
    IOXML_MSG_SETUP = 0x402,       // setup record, counts, address, port, Status -> OnSetupXml
    IOXML_MSG_SETUP_SENT = 0x403,  // as IOXML_MSG_SETUP                -> OnSetupXmlSent
    IOXML_MSG_ERROR = 0x404,       // Code (8-bit), error record         -> OnError
};

// The library text of the error that ends a two-step change whose sensor ID the
// unit does not list (code 16 "ID not found" in `code`, no system error).
inline constexpr char kInvalidSensorId[] = "Invalid sensor ID";

class ZXAPI_CLASS TIoXmlCustom : public TSdkObject {
public:
    explicit TIoXmlCustom(void *owner);
    TIoXmlCustom(const TIoXmlCustom &) = delete;
    TIoXmlCustom &operator=(const TIoXmlCustom &) = delete;

    // ---- notifications: the client's worker threads call these ----------------
    // `module` is the module the notification is for; `owner` is this object.
    // They must not throw and must not wait for the owner thread.
    virtual void DoConnect(int module, void *owner, int index);
    virtual void DoValuesXml(int module, void *owner, int index, zxxml_values_struct *values,
                             zxxml_values_count_struct *counts);
    virtual void DoSetupXml(int module, void *owner, int index, zxxml_setup_struct *setup,
                            zxxml_setup_count_struct *counts);
    virtual void DoSetupXmlSent(int module, void *owner, int index, zxxml_setup_struct *setup,
                                zxxml_setup_count_struct *counts);
    // The fetch of a two-step change ended (on the temporary module's worker).
    virtual void DoOldVerValues(int module, void *owner, int index, zxxml_values_struct *values,
                                zxxml_values_count_struct *counts);

    // Closes the module without events.
    virtual ~TIoXmlCustom();

    // ---- operations ---------------------------------------------------------------
    virtual int Open();
    virtual int Close();
    virtual int GetValuesXml();
    virtual int GetSetupXml();
    virtual int SetSetupXml(const char *text);
    virtual int LoadValuesXml(const char *text);
    virtual int SetOutput(std::uint32_t id, std::uint32_t value);
    virtual int SetRange(std::uint32_t id, float min, float max);
    // `name` is UTF-8; markup characters are sent escaped. A name that is not
    // UTF-8 or holds control characters is refused: -3, code 45 in LastError.
    virtual int SetSensName(std::uint32_t id, const char *name);
    virtual int SetCalib(std::uint32_t id, float calib);

    // The library-wide record (AGlobal nonzero, or no module open), else the
    // module's record.
    void GetLastError(TSdkError &error, int AGlobal) const;
    // Items of the cached setup (ASetup nonzero) or values record: the count;
    // -2 closed; -1 no such record.
    int GetCount(int ASetup) const;
    // Item `position`: 0; -2 not idle; -1 no such record; -3 no such position.
    int GetSensor(int position, TXmlSensorEnum &item, int ASetup) const;
    // The status the last request began with, as the operation set it: Status
    // itself may already be back at IOXML_STATUS_OPENED when the starting
    // operation returns.
    IoXmlStatusT StartedStatus() const noexcept { return started_; }

    // ---- fields -------------------------------------------------------------------
    std::int32_t Handle = -1;
    // Written by the owner thread and by the worker's notifications.
    std::atomic<IoXmlStatusT> Status{IOXML_STATUS_CLOSED};
    // The error of the last change refused or whose first step failed.
    zx_error_struct LastError{};
    std::uint32_t PendingId = 0;
    float PendingMin = 0.0f;
    float PendingMax = 0.0f;
    float PendingCalib = 0.0f;
    std::string PendingName;
    std::uint32_t OldVerSupport = 0;
    std::string IP = "127.0.0.1";
    std::uint32_t Port = 80;
    std::string Username;
    std::string Password;

protected:
    // The second step of a two-step change, on the temporary module's worker:
    // 0 the change is queued on the object's module; -1 it was not (`error`
    // holds the module's record); -2 the unit lists no such sensor ID; -3 the
    // fetch failed (`error` holds its record). On failure Status is back at
    // IOXML_STATUS_OPENED.
    int FinishOldVerRequest(int temp_module, zx_error_struct &error);
    // Identity of the current temporary module (0: none).
    std::uint64_t TemporarySeq() const noexcept { return temp_seq_; }
    // Closes the temporary module if `seq` is still the current one (owner
    // thread): how the temporary module of a finished change ends.
    void ReleaseTemporary(std::uint64_t seq) noexcept;
    // Detaches the notifications (waiting for one in progress), then closes
    // the temporary module and the module. After it, nothing of this object
    // is called from a worker. A class that overrides a notification calls it
    // first in its own destructor, before its own members go.
    void ShutDown() noexcept;

private:
    int SendChange(const std::string &text);
    int SensorChange(std::uint32_t id, const std::string &fields);
    int StartOldVerRequest();
    int Refuse(int code) noexcept;
    void CloseTemporary() noexcept;

    void *link_ = nullptr;       // the notifications' way to this object
    int temp_handle_ = -1;       // temporary module of a two-step change
    void *temp_link_ = nullptr;
    std::uint64_t temp_seq_ = 0;
    int pending_handle_ = -1;    // the module the second step sends through
    IoXmlStatusT started_ = IOXML_STATUS_CLOSED;
};

class ZXAPI_CLASS TIoXml : public TIoXmlCustom, public TEventTarget {
public:
    explicit TIoXml(void *owner);
    ~TIoXml() override;

    void DoConnect(int module, void *owner, int index) override;
    void DoValuesXml(int module, void *owner, int index, zxxml_values_struct *values,
                     zxxml_values_count_struct *counts) override;
    void DoSetupXml(int module, void *owner, int index, zxxml_setup_struct *setup,
                    zxxml_setup_count_struct *counts) override;
    void DoSetupXmlSent(int module, void *owner, int index, zxxml_setup_struct *setup,
                        zxxml_setup_count_struct *counts) override;
    void DoOldVerValues(int module, void *owner, int index, zxxml_values_struct *values,
                        zxxml_values_count_struct *counts) override;

    int Open() override;
    int Close() override;
    int GetValuesXml() override;
    int GetSetupXml() override;
    int SetSetupXml(const char *text) override;
    int LoadValuesXml(const char *text) override;
    int SetOutput(std::uint32_t id, std::uint32_t value) override;
    int SetRange(std::uint32_t id, float min, float max) override;
    int SetSensName(std::uint32_t id, const char *name) override;
    int SetCalib(std::uint32_t id, float calib) override;

    THandlerSlot<TSdkSimpleEventArgs> OnOpen;
    THandlerSlot<TSdkSimpleEventArgs> OnClose;
    THandlerSlot<TSdkSimpleEventArgs> OnStart;
    THandlerSlot<TIoXmlStatusEventArgs> OnConnect;
    THandlerSlot<TIoXmlValuesEventArgs> OnValuesXml;
    THandlerSlot<TIoXmlSetupEventArgs> OnSetupXml;
    THandlerSlot<TIoXmlSetupEventArgs> OnSetupXmlSent;
    THandlerSlot<TSdkErrorEventArgs> OnError;

protected:
    void DeliverEvent(detail::Posted &event) override;

private:
    // Posts IOXML_MSG_ERROR with `code` and `record`.
    void PostError(std::uint8_t code, const zx_error_struct &record) const noexcept;
    // Raises what an operation's result calls for on the caller's thread.
    int Report(int rc, std::uint8_t error_code, bool refusal_has_event);
    void RaiseError(std::uint8_t code, const zx_error_struct &record);
};

}  // namespace zxapi

#endif
