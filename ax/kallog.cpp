// KalLog: the data log of one monitoring unit for automation clients, over the
// log object, with a line reader over the last CSV download or loaded text.
#include <algorithm>
#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "ax/connection.h"
#include "ax/date.h"
#include "ax/kalax_objects.h"
#include "ax/object.h"
#include "ax/strings_ax.h"
#include "kalax/zxapi_log.h"
#include "sdk/runtime/platform.h"

namespace kalax::ax::lib {

namespace {

constexpr const char *kSource = "KalAx.KalLog";

// DISPIDs of IKalLogEvents.
constexpr DISPID kOnStatus = 1, kOnRead = 2, kOnDownload = 3, kOnDelete = 4, kOnError = 5;
// KalLogStatusEventT
constexpr LONG kEventOpen = 0, kEventClose = 1, kEventStart = 2, kEventConnect = 3;
// Values a line may carry at least; a longer line gets room for all it holds.
constexpr int kMinValues = 100;

// "yyyy/mm/dd" and "hh:mm:ss" as an automation date; false when they are not one.
bool parse_date_time(const char *date, const char *time, DATE &out) {
    DateParts p;
    char tail = 0;
    if (std::sscanf(date, "%4d/%2d/%2d%c", &p.year, &p.month, &p.day, &tail) != 3) return false;
    if (std::sscanf(time, "%2d:%2d:%2d%c", &p.hour, &p.minute, &p.second, &tail) != 3) return false;
    return date_from_parts(p, out);
}

DATE local_now() {
    std::tm tm{};
    DATE d = 0;
    if (!platform::local_time(platform::now_seconds(), &tm)) return d;
    const DateParts p{tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec};
    date_from_parts(p, d);
    return d;
}

class TKalLogImpl final : public AutomationObject<IKalLog, &kallog_type, IID_IKalLog> {
public:
    explicit TKalLogImpl(IUnknown *outer) : AutomationObject(outer, DIID_IKalLogEvents), log_(this) {
        log_.OnOpen.Set(this, &TKalLogImpl::HandleOpen);
        log_.OnClose.Set(this, &TKalLogImpl::HandleClose);
        log_.OnStart.Set(this, &TKalLogImpl::HandleStart);
        log_.OnConnect.Set(this, &TKalLogImpl::HandleConnect);
        log_.OnRead.Set(this, &TKalLogImpl::HandleRead);
        log_.OnDownload.Set(this, &TKalLogImpl::HandleDownload);
        log_.OnDelete.Set(this, &TKalLogImpl::HandleDelete);
        log_.OnError.Set(this, &TKalLogImpl::HandleError);
    }

    // ---- operations
    HRESULT Open(int32_t *RetVal) override { return result(log_.Open(), RetVal); }
    HRESULT Close(int32_t *RetVal) override { return result(log_.Close(), RetVal); }
    HRESULT Delete(int32_t *RetVal) override { return result(log_.Delete(), RetVal); }
    HRESULT DeleteAll(int32_t *RetVal) override { return result(log_.DeleteAll(), RetVal); }
    HRESULT GetLogFile(int32_t *RetVal) override { return result(log_.GetLogFile(), RetVal); }
    HRESULT GetLastError(int32_t *ASdkCode, int32_t *ASysCode, BSTR *ASdkDesc, BSTR *ASysDesc,
                         int32_t AGlobal) override {
        if (!ASdkCode || !ASysCode || !ASdkDesc || !ASysDesc) return E_POINTER;
        zxapi::TSdkError e;
        log_.GetLastError(e, AGlobal);
        *ASdkCode = e.SdkCode;
        *ASysCode = e.SysCode;
        *ASdkDesc = bstr_from(cp1252_decode(e.SdkDesc));
        *ASysDesc = bstr_from(cp1252_decode(e.SysDesc));
        return *ASdkDesc && *ASysDesc ? S_OK : E_OUTOFMEMORY;
    }
    HRESULT GetStatus(int32_t *RetVal) override { return result(log_.Status.load(), RetVal); }

    // ---- properties
    HRESULT get_IP(BSTR *Value) override { return Value ? ansi_out(log_.IP, Value) : E_POINTER; }
    HRESULT put_IP(BSTR Value) override { return ansi_put(Value, log_.IP); }
    HRESULT get_Port(int32_t *Value) override { return result(log_.Port, Value); }
    HRESULT put_Port(int32_t Value) override {
        log_.Port = Value;
        return S_OK;
    }
    HRESULT get_Csv(int32_t *Value) override { return result(log_.Csv, Value); }
    HRESULT put_Csv(int32_t Value) override {
        log_.Csv = Value;
        return S_OK;
    }
    HRESULT get_Username(BSTR *Value) override { return Value ? ansi_out(log_.Username, Value) : E_POINTER; }
    HRESULT put_Username(BSTR Value) override { return ansi_put(Value, log_.Username); }
    HRESULT get_Password(BSTR *Value) override { return Value ? ansi_out(log_.Password, Value) : E_POINTER; }
    HRESULT put_Password(BSTR Value) override { return ansi_put(Value, log_.Password); }
    HRESULT get_RecGroup(int32_t *Value) override { return result(log_.RecGroup, Value); }
    HRESULT put_RecGroup(int32_t Value) override {
        log_.RecGroup = static_cast<uint8_t>(Value & 0xFF);
        return S_OK;
    }
    HRESULT get_RecType(int32_t *Value) override { return result(log_.RecType, Value); }
    HRESULT put_RecType(int32_t Value) override {
        log_.RecType = static_cast<uint8_t>(Value & 0xFF);
        return S_OK;
    }

    // ---- files and conversion
    // File names are UTF-8 on this platform's file systems.
    HRESULT WriteToFile(BSTR AName, int32_t *ASeek, int32_t *RetVal) override {
        if (!ASeek || !RetVal) return E_POINTER;
        std::string name;
        if (const HRESULT hr = utf8_in(AName, name, IID_IKalLog, kSource); FAILED(hr)) return hr;
        std::size_t offset = 0;
        *RetVal = log_.WriteToFile(name.c_str(), log_.LastDownload(), offset);
        *ASeek = static_cast<int32_t>(std::min<std::size_t>(offset, INT32_MAX));
        return S_OK;
    }
    HRESULT ConvertBin2Csv(int32_t *RetVal) override {
        if (!RetVal) return E_POINTER;
        const char *text = nullptr;
        const int rc = log_.ConvertBin2Csv(text, log_.LastDownload());
        set_text(rc >= 0 ? text : nullptr, rc);
        *RetVal = rc;
        return S_OK;
    }
    HRESULT LoadFromCsvFile(BSTR AName, int32_t *RetVal) override { return load(AName, false, RetVal); }
    HRESULT LoadFromBinFile(BSTR AName, int32_t *RetVal) override { return load(AName, true, RetVal); }
    HRESULT SetHostIP(BSTR AHost, int32_t *RetVal) override {
        if (!RetVal) return E_POINTER;
        std::string host;
        if (const HRESULT hr = utf8_in(AHost, host, IID_IKalLog, kSource); FAILED(hr)) return hr;
        *RetVal = log_.SetHostIP(host.c_str());
        return S_OK;
    }

    // ---- line readers
    HRESULT ResetLn() override {
        cursor_ = line_start_ = text_;
        return S_OK;
    }
    HRESULT ReadLn(VARIANT *AData, int32_t *RetVal) override {
        if (!AData || !RetVal) return E_POINTER;
        const char *line = nullptr;
        const int n = next_line(line);
        *RetVal = n;
        return byte_array(line, n, AData);
    }
    HRESULT ReadLnArray(VARIANT *RetVal) override {
        if (!RetVal) return E_POINTER;
        const char *line = nullptr;
        const int n = next_line(line);
        return byte_array(line, n, RetVal);
    }
    HRESULT ReadLnStr(BSTR *RetVal) override {
        if (!RetVal) return E_POINTER;
        const char *line = nullptr;
        const int n = next_line(line);
        return ansi_out(std::string_view(line ? line : "", static_cast<size_t>(n)), RetVal);
    }
    HRESULT ReadRecArray(double *ATime, int32_t *AType, int32_t *AGroup, VARIANT *RetVal) override {
        if (!ATime || !AType || !AGroup || !RetVal) return E_POINTER;
        const char *line = nullptr;
        const int n = next_line(line);
        // A record carries far more than 100 values: the array holds what the line holds.
        std::vector<int32_t> values(static_cast<size_t>(std::max(kMinValues, n / 2 + 1)));
        int count = 0;
        char date[zxapi::KALLOG_DATE_SIZE] = {}, time[zxapi::KALLOG_TIME_SIZE] = {};
        std::uint8_t type = 0, group = 0;
        if (n > 0)
            count = zxapi::TKalLogCustom::ParseRecordLine(line, static_cast<size_t>(n),
                                                          static_cast<int>(values.size()), date, sizeof date, time,
                                                          sizeof time, type, group, values.data());
        SAFEARRAY *a = zxax_SafeArrayCreateVector(VT_I4, 0, static_cast<ULONG>(std::max(count, 0)));
        if (!a) return E_OUTOFMEMORY;
        if (count > 0) {
            void *data = nullptr;
            if (const HRESULT hr = zxax_SafeArrayAccessData(a, &data); FAILED(hr)) {
                zxax_SafeArrayDestroy(a);
                return hr;
            }
            std::copy_n(values.data(), count, static_cast<int32_t *>(data));
            zxax_SafeArrayUnaccessData(a);
            DATE when = 0;
            *ATime = parse_date_time(date, time, when) ? when : local_now();
            *AType = type;
            *AGroup = group;
        }
        zxax_VariantInit(RetVal);
        RetVal->vt = VT_ARRAY | VT_I4;
        RetVal->parray = a;
        return S_OK;
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
        if (const HRESULT hr = ansi_in(value, bytes, IID_IKalLog, kSource); FAILED(hr)) return hr;
        field = std::move(bytes);
        return S_OK;
    }

    HRESULT load(BSTR AName, bool binary, int32_t *RetVal) {
        if (!RetVal) return E_POINTER;
        std::string name;
        if (const HRESULT hr = utf8_in(AName, name, IID_IKalLog, kSource); FAILED(hr)) return hr;
        const char *text = nullptr;
        const int rc = binary ? log_.LoadFromBinFile(name.c_str(), text) : log_.LoadFromCsvFile(name.c_str(), text);
        set_text(rc >= 0 ? text : nullptr, rc);
        *RetVal = rc;
        return S_OK;
    }
    // A negative length (a failed load) leaves no readable text.
    void set_text(const char *text, int length) {
        text_ = length >= 0 ? text : nullptr;
        text_length_ = length;
        cursor_ = line_start_ = text_;
    }
    // The next line (its start in `line`): its length, 0 when there is none.
    int next_line(const char *&line) {
        line = nullptr;
        if (!text_ || text_length_ < 0) return 0;
        for (;;) {
            const int n = zxapi::TKalLogCustom::NextLine(cursor_, text_, static_cast<size_t>(text_length_));
            if (n > 0) {
                line = line_start_;
                line_start_ = cursor_;
                return n;
            }
            line_start_ = cursor_;
            if (n < 0) return 0;
        }
    }
    static HRESULT byte_array(const char *line, int n, VARIANT *out) {
        SAFEARRAY *a = zxax_SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(n));
        if (!a) return E_OUTOFMEMORY;
        if (n > 0) {
            void *data = nullptr;
            if (const HRESULT hr = zxax_SafeArrayAccessData(a, &data); FAILED(hr)) {
                zxax_SafeArrayDestroy(a);
                return hr;
            }
            std::copy_n(line, n, static_cast<char *>(data));
            zxax_SafeArrayUnaccessData(a);
        }
        zxax_VariantInit(out);
        out->vt = VT_ARRAY | VT_UI1;
        out->parray = a;
        return S_OK;
    }

    // ---- the log object's events, on this object's thread; nothing of this
    // object is touched after fire(), which a sink may end it in.
    void HandleOpen(zxapi::TSdkSimpleEventArgs &) {
        events_.fire(kOnStatus, {variant_i4(kEventOpen), variant_i4(zxapi::KALLOG_STATUS_OPENED)});
    }
    void HandleClose(zxapi::TSdkSimpleEventArgs &) {
        events_.fire(kOnStatus, {variant_i4(kEventClose), variant_i4(zxapi::KALLOG_STATUS_CLOSED)});
    }
    void HandleStart(zxapi::TKalLogStatusEventArgs &a) {
        events_.fire(kOnStatus, {variant_i4(kEventStart), variant_i4(a.Status)});
    }
    void HandleConnect(zxapi::TKalLogStatusEventArgs &a) {
        events_.fire(kOnStatus, {variant_i4(kEventConnect), variant_i4(a.Status)});
    }
    void HandleRead(zxapi::TKalLogBufferEventArgs &a) {
        events_.fire(kOnRead, {variant_i4(static_cast<LONG>(a.Size))});
    }
    // A CSV download becomes the text, as this object's own copy: the log
    // object replaces its copy with the next download, binary ones too.
    void HandleDownload(zxapi::TKalLogBufferEventArgs &a) {
        if (a.Csv) {
            const size_t size = std::min<size_t>(a.Size, INT32_MAX);
            downloaded_.assign(a.Data ? a.Data : "", a.Data ? size : 0);
            set_text(downloaded_.data(), static_cast<int>(downloaded_.size()));
        }
        events_.fire(kOnDownload, {variant_i4(a.Csv), variant_i4(static_cast<LONG>(a.Size))});
    }
    void HandleDelete(zxapi::TKalLogStatusEventArgs &a) {
        events_.fire(kOnDelete, {variant_i4(a.Status == zxapi::KALLOG_STATUS_DELETE_ALL ? 1 : 0)});
    }
    void HandleError(zxapi::TSdkErrorEventArgs &a) { events_.fire(kOnError, {variant_i4(a.Code)}); }

    std::string downloaded_;  // the last CSV download
    const char *text_ = nullptr;
    int text_length_ = 0;
    const char *line_start_ = nullptr;
    const char *cursor_ = nullptr;
    // Last member: destroyed first, closing its module without events.
    zxapi::TKalLog log_;
};

}  // namespace

HRESULT create_kallog(IUnknown *outer, REFIID riid, void **ppv) { return create_instance<TKalLogImpl>(outer, riid, ppv); }

}  // namespace kalax::ax::lib
