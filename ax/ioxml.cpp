// IoXml: one monitoring unit for automation clients, over the device object.
#include <cstdint>
#include <string>

#include "ax/connection.h"
#include "ax/kalax_objects.h"
#include "ax/object.h"
#include "ax/strings_ax.h"
#include "kalax/zxapi_device.h"

namespace kalax::ax::lib {

std::u16string utf8_or_cp1252(std::string_view s) {
    std::u16string out;
    size_t i = 0;
    while (i < s.size()) {
        const auto b = static_cast<unsigned char>(s[i]);
        size_t n = 0;
        uint32_t cp = 0, min = 0;
        if (b < 0x80) {
            n = 1, cp = b;
        } else if ((b & 0xE0) == 0xC0) {
            n = 2, cp = b & 0x1F, min = 0x80;
        } else if ((b & 0xF0) == 0xE0) {
            n = 3, cp = b & 0x0F, min = 0x800;
        } else if ((b & 0xF8) == 0xF0) {
            n = 4, cp = b & 0x07, min = 0x10000;
        }
        bool ok = n > 0 && i + n <= s.size();
        for (size_t k = 1; ok && k < n; ++k) {
            const auto c = static_cast<unsigned char>(s[i + k]);
            ok = (c & 0xC0) == 0x80;
            cp = (cp << 6) | (c & 0x3F);
        }
        ok = ok && cp >= min && cp <= 0x10FFFF && !(cp >= 0xD800 && cp <= 0xDFFF);
        if (!ok) {
            out += cp1252_decode(s.substr(i, 1));
            ++i;
            continue;
        }
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (cp >> 10));
            out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
        } else {
            out += static_cast<char16_t>(cp);
        }
        i += n;
    }
    return out;
}

namespace {

constexpr const char *kSource = "KalAx.IoXml";

// DISPIDs of IIoXmlEvents.
constexpr DISPID kOnStatus = 1, kOnValuesXml = 3, kOnSetupXml = 4, kOnError = 6;
// IoXmlStatusEventT
constexpr LONG kEventOpen = 0, kEventClose = 1, kEventStart = 2, kEventConnect = 3;

class TIoXmlImpl final : public AutomationObject<IIoXml, &ioxml_type, IID_IIoXml> {
public:
    explicit TIoXmlImpl(IUnknown *outer) : AutomationObject(outer, DIID_IIoXmlEvents), device_(this) {
        device_.OnOpen.Set(this, &TIoXmlImpl::HandleOpen);
        device_.OnClose.Set(this, &TIoXmlImpl::HandleClose);
        device_.OnStart.Set(this, &TIoXmlImpl::HandleStart);
        device_.OnConnect.Set(this, &TIoXmlImpl::HandleConnect);
        device_.OnValuesXml.Set(this, &TIoXmlImpl::HandleValues);
        device_.OnSetupXml.Set(this, &TIoXmlImpl::HandleSetup);
        device_.OnSetupXmlSent.Set(this, &TIoXmlImpl::HandleSetup);
        device_.OnError.Set(this, &TIoXmlImpl::HandleError);
    }

    // ---- operations
    HRESULT Open(int32_t *RetVal) override { return result(device_.Open(), RetVal); }
    HRESULT Close(int32_t *RetVal) override { return result(device_.Close(), RetVal); }
    HRESULT GetValuesXml(int32_t *RetVal) override { return result(device_.GetValuesXml(), RetVal); }
    HRESULT GetSetupXml(int32_t *RetVal) override { return result(device_.GetSetupXml(), RetVal); }
    HRESULT SetOutput(int32_t AId, int32_t AValue, int32_t *RetVal) override {
        return result(device_.SetOutput(static_cast<uint32_t>(AId), static_cast<uint32_t>(AValue)), RetVal);
    }
    HRESULT SetRange(int32_t AId, float AMin, float AMax, int32_t *RetVal) override {
        return result(device_.SetRange(static_cast<uint32_t>(AId), AMin, AMax), RetVal);
    }
    HRESULT SetSensName(int32_t AId, BSTR AName, int32_t *RetVal) override {
        std::string name;
        if (const HRESULT hr = utf8_in(AName, name, IID_IIoXml, kSource); FAILED(hr)) return hr;
        return result(device_.SetSensName(static_cast<uint32_t>(AId), name.c_str()), RetVal);
    }
    HRESULT SetCalib(int32_t AId, float ACalib, int32_t *RetVal) override {
        return result(device_.SetCalib(static_cast<uint32_t>(AId), ACalib), RetVal);
    }
    HRESULT GetLastError(int32_t *ASdkCode, int32_t *ASysCode, BSTR *ASdkDesc, BSTR *ASysDesc,
                         int32_t AGlobal) override {
        if (!ASdkCode || !ASysCode || !ASdkDesc || !ASysDesc) return E_POINTER;
        zxapi::TSdkError e;
        device_.GetLastError(e, AGlobal);
        *ASdkCode = e.SdkCode;
        *ASysCode = e.SysCode;
        *ASdkDesc = bstr_from(cp1252_decode(e.SdkDesc));
        *ASysDesc = bstr_from(cp1252_decode(e.SysDesc));
        return *ASdkDesc && *ASysDesc ? S_OK : E_OUTOFMEMORY;
    }

    // ---- item kinds (only the low 8 bits count)
    HRESULT IsBinaryInput(int32_t AType, int32_t *RetVal) override {
        const int t = AType & 0xFF;
        return result(t == 2 || t == 3, RetVal);
    }
    HRESULT IsBinaryOutput(int32_t AType, int32_t *RetVal) override {
        const int t = AType & 0xFF;
        return result(t >= 4 && t <= 7, RetVal);
    }
    HRESULT IsAnalogInput(int32_t AType, int32_t *RetVal) override { return result((AType & 0xFF) == 0, RetVal); }

    // ---- properties
    HRESULT get_IP(BSTR *Value) override { return Value ? ansi_out(device_.IP, Value) : E_POINTER; }
    HRESULT put_IP(BSTR Value) override { return ansi_put(Value, device_.IP); }
    HRESULT get_Port(int32_t *Value) override { return result(static_cast<int32_t>(device_.Port), Value); }
    HRESULT put_Port(int32_t Value) override {
        device_.Port = static_cast<uint32_t>(Value);
        return S_OK;
    }
    HRESULT get_Username(BSTR *Value) override { return Value ? ansi_out(device_.Username, Value) : E_POINTER; }
    HRESULT put_Username(BSTR Value) override { return ansi_put(Value, device_.Username); }
    HRESULT get_Password(BSTR *Value) override { return Value ? ansi_out(device_.Password, Value) : E_POINTER; }
    HRESULT put_Password(BSTR Value) override { return ansi_put(Value, device_.Password); }
    HRESULT get_OldVerSupport(int32_t *Value) override {
        return result(static_cast<int32_t>(device_.OldVerSupport), Value);
    }
    HRESULT put_OldVerSupport(int32_t Value) override {
        device_.OldVerSupport = static_cast<uint32_t>(Value);
        return S_OK;
    }

    // ---- items
    HRESULT GetValuesCount(int32_t *RetVal) override { return result(device_.GetCount(0), RetVal); }
    HRESULT GetSetupCount(int32_t *RetVal) override { return result(device_.GetCount(1), RetVal); }
    HRESULT GetCount(int32_t ASetup, int32_t *RetVal) override { return result(device_.GetCount(ASetup), RetVal); }
    HRESULT GetValuesSensor(int32_t i, BSTR *AName, BSTR *ADevName, BSTR *AIP, BSTR *AMAC, XmlSensorT *ASensor,
                            int32_t *RetVal) override {
        return sensor(i, AName, ADevName, AIP, AMAC, ASensor, 0, RetVal);
    }
    HRESULT GetSetupSensor(int32_t i, BSTR *AName, BSTR *ADevName, BSTR *AIP, BSTR *AMAC, XmlSensorT *ASensor,
                           int32_t *RetVal) override {
        return sensor(i, AName, ADevName, AIP, AMAC, ASensor, 1, RetVal);
    }
    HRESULT GetSensor(int32_t i, BSTR *AName, BSTR *ADevName, BSTR *AIP, BSTR *AMAC, XmlSensorT *ASensor,
                      int32_t ASetup, int32_t *RetVal) override {
        return sensor(i, AName, ADevName, AIP, AMAC, ASensor, ASetup != 0, RetVal);
    }
    HRESULT XmlSensorEnumToStr(const XmlSensorT *ASensor, int32_t AField, BSTR *RetVal) override {
        if (!ASensor || !RetVal) return E_POINTER;
        zxapi::TXmlSensorEnum item;
        item.Family = static_cast<uint8_t>(ASensor->Family);
        item.Port = ASensor->Port;
        item.Id = ASensor->Id;
        item.Value = ASensor->Value;
        item.Units = static_cast<uint8_t>(ASensor->Units);
        item.Min = ASensor->Min;
        item.Max = ASensor->Max;
        item.Hyst = ASensor->Hyst;
        item.Counter = ASensor->Counter;
        item.SensType = static_cast<uint8_t>(ASensor->SensType);
        item.Alarm = static_cast<uint8_t>(ASensor->Alarm);
        item.State = static_cast<uint8_t>(ASensor->State);
        item.Time = ASensor->Time;
        item.XmlVer = static_cast<uint8_t>(ASensor->XmlVer);
        item.Mode = static_cast<uint8_t>(ASensor->Mode);
        item.Calib = ASensor->Calib;
        return ansi_out(zxapi::XmlSensorEnumToStr(item, AField), RetVal);
    }
    HRESULT GetStatus(int32_t *RetVal) override { return result(device_.Status.load(), RetVal); }
    HRESULT SetHostIP(BSTR AHost, int32_t *RetVal) override {
        std::string host;
        if (const HRESULT hr = utf8_in(AHost, host, IID_IIoXml, kSource); FAILED(hr)) return hr;
        return result(zxapi::ResolveHostIP(host.c_str(), device_.IP), RetVal);
    }

    // ---- connection points and error info


private:
    template <typename T>
    static HRESULT result(T value, int32_t *out) {
        if (!out) return E_POINTER;
        *out = static_cast<int32_t>(value);
        return S_OK;
    }
    static HRESULT ansi_put(BSTR value, std::string &field) {
        std::string bytes;
        if (const HRESULT hr = ansi_in(value, bytes, IID_IIoXml, kSource); FAILED(hr)) return hr;
        field = std::move(bytes);
        return S_OK;
    }

    HRESULT sensor(int32_t i, BSTR *AName, BSTR *ADevName, BSTR *AIP, BSTR *AMAC, XmlSensorT *ASensor, bool setup,
                   int32_t *RetVal) {
        if (!AName || !ADevName || !AIP || !AMAC || !ASensor || !RetVal) return E_POINTER;
        zxapi::TXmlSensorEnum item;
        const int rc = device_.GetSensor(i, item, setup ? 1 : 0);
        *RetVal = rc;
        if (rc != 0) return S_OK;  // the outputs stay as they were
        Bstr name(bstr_from(utf8_or_cp1252(item.Name)));
        Bstr dev(bstr_from(utf8_or_cp1252(item.DevName)));
        Bstr ip(bstr_from(cp1252_decode(item.IP)));
        Bstr mac(bstr_from(cp1252_decode(item.MAC)));
        if (!name.get() || !dev.get() || !ip.get() || !mac.get()) return E_OUTOFMEMORY;
        *AName = name.detach();
        *ADevName = dev.detach();
        *AIP = ip.detach();
        *AMAC = mac.detach();
        ASensor->Family = item.Family;
        ASensor->Port = item.Port;
        ASensor->Id = item.Id;
        ASensor->Value = item.Value;
        ASensor->Units = item.Units;
        ASensor->Min = item.Min;
        ASensor->Max = item.Max;
        ASensor->Hyst = item.Hyst;
        ASensor->Counter = item.Counter;
        ASensor->SensType = item.SensType;
        ASensor->Alarm = item.Alarm;
        ASensor->State = item.State;
        ASensor->Time = item.Time;
        ASensor->XmlVer = item.XmlVer;
        ASensor->Mode = item.Mode;
        ASensor->Calib = item.Calib;
        return S_OK;
    }

    // ---- the device object's events, on this object's thread. A sink may
    // release the last reference while it runs: nothing of this object is
    // touched after fire().
    void HandleOpen(zxapi::TSdkSimpleEventArgs &) {
        events_.fire(kOnStatus, {variant_i4(kEventOpen), variant_i4(zxapi::IOXML_STATUS_OPENED)});
    }
    void HandleClose(zxapi::TSdkSimpleEventArgs &) {
        events_.fire(kOnStatus, {variant_i4(kEventClose), variant_i4(zxapi::IOXML_STATUS_CLOSED)});
    }
    // The request this event is about, not whatever Status holds by now.
    void HandleStart(zxapi::TSdkSimpleEventArgs &) {
        events_.fire(kOnStatus, {variant_i4(kEventStart), variant_i4(device_.StartedStatus())});
    }
    void HandleConnect(zxapi::TIoXmlStatusEventArgs &a) {
        events_.fire(kOnStatus, {variant_i4(kEventConnect), variant_i4(a.Status)});
    }
    void HandleValues(zxapi::TIoXmlValuesEventArgs &) { events_.fire(kOnValuesXml, {variant_i4(device_.GetCount(0))}); }
    void HandleSetup(zxapi::TIoXmlSetupEventArgs &a) {
        events_.fire(kOnSetupXml, {variant_i4(a.Status), variant_i4(device_.GetCount(1))});
    }
    void HandleError(zxapi::TSdkErrorEventArgs &a) { events_.fire(kOnError, {variant_i4(a.Code)}); }

    // Last member: destroyed first, closing its module without events.
    zxapi::TIoXml device_;
};

}  // namespace

HRESULT create_ioxml(IUnknown *outer, REFIID riid, void **ppv) { return create_instance<TIoXmlImpl>(outer, riid, ppv); }

}  // namespace kalax::ax::lib
