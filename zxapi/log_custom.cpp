// TKalLogCustom: the log object's settings, module, status machine, and the
// file and conversion work around a download.
#include <cerrno>
#include <climits>
#include <cstring>
#include <new>
#include <vector>

#include "kalax/zxapi.h"
#include "kalax/zxpld.h"
#include "sdk/pld/client.h"
#include "sdk/runtime/files.h"
#include "zxapi/family.h"
#include "zxapi/log_link.h"

namespace zxapi {

namespace {

using detail::LogLinkCall;
namespace platform = kalax::platform;

// ---- the client's callbacks, each passed on to the object's slot -------------------
void on_connect(int module, void *token) {
    LogLinkCall(token, [&](TKalLogCustom &o) { o.DoConnect(module, &o); });
}
void on_connect_error(int module, void *token, zx_error_struct *e) {
    LogLinkCall(token, [&](TKalLogCustom &o) { o.DoConnectError(module, &o, e); });
}
void on_data(int module, void *token, const char *data, int count) {
    LogLinkCall(token, [&](TKalLogCustom &o) { o.DoRead(module, &o, data, count); });
}
void on_csv(int module, void *token, const char *text, int length) {
    LogLinkCall(token, [&](TKalLogCustom &o) { o.DoCsv(module, &o, text, length); });
}
void on_bin(int module, void *token, const char *data, int length) {
    LogLinkCall(token, [&](TKalLogCustom &o) { o.DoBin(module, &o, data, length); });
}
void on_del(int module, void *token) {
    LogLinkCall(token, [&](TKalLogCustom &o) { o.DoDelete(module, &o); });
}
void on_delall(int module, void *token) {
    LogLinkCall(token, [&](TKalLogCustom &o) { o.DoDeleteAll(module, &o); });
}
void on_csv_error(int module, void *token, zx_error_struct *e) {
    LogLinkCall(token, [&](TKalLogCustom &o) { o.DoCsvError(module, &o, e); });
}
void on_bin_error(int module, void *token, zx_error_struct *e) {
    LogLinkCall(token, [&](TKalLogCustom &o) { o.DoBinError(module, &o, e); });
}
void on_del_error(int module, void *token, zx_error_struct *e) {
    LogLinkCall(token, [&](TKalLogCustom &o) { o.DoDeleteError(module, &o, e); });
}
void on_delall_error(int module, void *token, zx_error_struct *e) {
    LogLinkCall(token, [&](TKalLogCustom &o) { o.DoDeleteAllError(module, &o, e); });
}

// A failure of this layer's own, kept in the client's library-wide record.
void record_global(int code) noexcept {
    errno = 0;
    kalax::pld::client().rt.set_error(0, code);
}

// Room for the CSV text of `size` bytes of binary records. A record of 8 + 4c
// bytes gives at most 34 + 13c characters: "YYYY/MM/DD;HH:MM:SS;" (32-bit
// times always have four-digit years), three numbers up to 255 each with their
// ";", "65535;-32768;" per pair and CR LF. That is never more than 17/4 of
// its bytes. One byte more than the text and its terminator: a conversion
// that fills the room to its last byte can only have been cut.
std::size_t csv_room(std::size_t size) noexcept { return (size * 17 + 3) / 4 + 2; }

// Binary records to CSV text in `out`: the text's length, -1 malformed (code
// 11 in slot 0), -3 too large or no memory.
int convert(int module, const char *data, std::size_t size, std::vector<char> &out) noexcept {
    if (size > static_cast<std::size_t>(INT_MAX)) return -3;
    if (!data && size) {
        record_global(kalax::kNULL_POINTER);
        return -1;
    }
    const std::size_t room = csv_room(size);
    if (room > static_cast<std::size_t>(INT_MAX)) return -3;
    try {
        out.resize(room);
    } catch (...) {
        return -3;
    }
    int length = static_cast<int>(room);
    if (zxpld_bin2csv(module, reinterpret_cast<const unsigned char *>(data), static_cast<int>(size), out.data(),
                      &length) != 0) {
        record_global(kalax::kFILE_NOT_VALID);
        return -1;
    }
    if (static_cast<std::size_t>(length) + 1 >= room) return -3;
    return length;
}

int file_result(platform::FileResult r) noexcept {
    switch (r) {
    case platform::FileResult::Ok: return 0;
    case platform::FileResult::OpenFailed: return -4;
    case platform::FileResult::TooLarge:
    case platform::FileResult::NoMemory: return -3;
    case platform::FileResult::IoFailed:
    case platform::FileResult::CloseFailed: break;
    }
    return -5;
}

}  // namespace

TKalLogCustom::TKalLogCustom(void *owner) : TSdkObject(owner) { detail::Family::Logs().Join(); }

TKalLogCustom::~TKalLogCustom() {
    ShutDown();
    detail::Family::Logs().Leave();
}

void TKalLogCustom::ShutDown() noexcept {
    if (Status.load() != KALLOG_STATUS_CLOSED && Handle != -1) {
        // A worker that does not end in time keeps its slot out of use; it can
        // still call back, which the cleared link below turns away.
        zxpld_close(Handle);
        Handle = -1;
        Status = KALLOG_STATUS_CLOSED;
    }
    detail::LogLinkClear(link_);
    link_ = nullptr;
}

void TKalLogCustom::Settle() noexcept {
    KalLogStatusT now = Status.load();
    while (now != KALLOG_STATUS_CLOSED && now != KALLOG_STATUS_OPENED &&
           !Status.compare_exchange_weak(now, KALLOG_STATUS_OPENED)) {
    }
}

// ---- notifications ----------------------------------------------------------------------
void TKalLogCustom::DoConnect(int, void *) {}
void TKalLogCustom::DoConnectError(int, void *, zx_error_struct *) { Settle(); }
void TKalLogCustom::DoCsv(int, void *, const char *, int) { Settle(); }
void TKalLogCustom::DoCsvError(int, void *, zx_error_struct *) { Settle(); }
void TKalLogCustom::DoBin(int, void *, const char *, int) { Settle(); }
void TKalLogCustom::DoBinError(int, void *, zx_error_struct *) { Settle(); }
void TKalLogCustom::DoRead(int, void *, const char *, int) {}
void TKalLogCustom::DoDelete(int, void *) { Settle(); }
void TKalLogCustom::DoDeleteError(int, void *, zx_error_struct *) { Settle(); }
void TKalLogCustom::DoDeleteAll(int, void *) { Settle(); }
void TKalLogCustom::DoDeleteAllError(int, void *, zx_error_struct *) { Settle(); }

// ---- module and requests ------------------------------------------------------------------
int TKalLogCustom::Open() {
    if (Status.load() != KALLOG_STATUS_CLOSED) return -2;
    void *token = detail::LogLinkOpen(this);
    if (!token) {
        record_global(kalax::kMEMORY);
        return -3;
    }
    zxpld_settings_struct s;
    zxpld_clr_settings_struct(&s);
    s.user_data = token;
    s.address = IP.c_str();
    s.port = Port;
    // Always texts, also when empty: every request carries an Authorization header.
    s.user = Username.c_str();
    s.password = Password.c_str();
    s.type_filter = RecType;
    s.group_filter = RecGroup;
    s.on_connect = on_connect;
    s.on_connect_error = on_connect_error;
    s.on_data = on_data;
    s.on_csv = on_csv;
    s.on_bin = on_bin;
    s.on_del = on_del;
    s.on_delall = on_delall;
    s.on_csv_error = on_csv_error;
    s.on_bin_error = on_bin_error;
    s.on_del_error = on_del_error;
    s.on_delall_error = on_delall_error;
    const int handle = zxpld_open(&s);
    if (handle < 1) {
        detail::LogLinkClear(token);
        return -1;
    }
    Handle = handle;
    link_ = token;
    Status = KALLOG_STATUS_OPENED;
    return 0;
}

int TKalLogCustom::Close() {
    if (Status.load() == KALLOG_STATUS_CLOSED) return -2;
    if (Handle != -1) {
        const int rc = zxpld_close(Handle);
        if (rc == -1) return -1;
        Handle = -1;
    }
    // The worker has ended: nothing can come through the link any more.
    detail::LogLinkClear(link_);
    link_ = nullptr;
    Status = KALLOG_STATUS_CLOSED;
    return 0;
}

int TKalLogCustom::Request(KalLogStatusT status, int (*call)(int)) {
    if (Status.load() != KALLOG_STATUS_OPENED) return -2;
    // Before the request is queued: its worker may end it before `call` returns.
    started_ = status;
    Status = status;
    if (call(Handle) != 0) {
        Status = KALLOG_STATUS_OPENED;  // nothing was queued, so no worker touches it
        return -1;
    }
    return 0;
}

int TKalLogCustom::GetLogFile() {
    return Csv ? Request(KALLOG_STATUS_GET_CSV, zxpld_get_spilog_csv)
               : Request(KALLOG_STATUS_GET_BIN, zxpld_get_spilog_bin);
}

int TKalLogCustom::Delete() { return Request(KALLOG_STATUS_DELETE, zxpld_get_spilog_del); }

int TKalLogCustom::DeleteAll() { return Request(KALLOG_STATUS_DELETE_ALL, zxpld_get_spilog_delall); }

bool TKalLogCustom::RequestFailureIsGlobal() const noexcept {
    if (Handle < 1 || Handle >= kalax::pld::kSlots) return true;
    const kalax::pld::Module &m = kalax::pld::client().modules[Handle];
    return m.state.load() == kalax::pld::kFree || m.closing.load();
}

// ---- errors and settings ---------------------------------------------------------------------
zx_error_struct TKalLogCustom::ErrorRecord(bool AGlobal) const noexcept {
    zx_error_struct e{};
    zxpld_error(AGlobal || Handle < 1 ? 0 : Handle, &e);
    return e;
}

void TKalLogCustom::GetLastError(TSdkError &AError, int AGlobal) const {
    AError = TSdkError(ErrorRecord(AGlobal != 0));
}

int TKalLogCustom::SetHostIP(const char *AHost) { return ResolveHostIP(AHost, IP); }

// ---- files and conversions ---------------------------------------------------------------------
int TKalLogCustom::FilterModule() const noexcept {
    return Status.load() != KALLOG_STATUS_CLOSED && Handle > 0 ? Handle : 0;
}

void TKalLogCustom::ClearBuffer() noexcept { buffer_.clear(); }

int TKalLogCustom::WriteToFile(const char *AFileName, const KalLogDownload &ADownload, std::size_t &AOffset) {
    AOffset = 0;
    std::vector<char> converted;
    const char *text = "";
    std::size_t length = 0;
    if (ADownload.Csv == 0) {
        const int rc = convert(FilterModule(), ADownload.Data, ADownload.Size, converted);
        if (rc < 0) return rc;
        text = converted.data();
        length = static_cast<std::size_t>(rc);
    } else {
        if (ADownload.Size > static_cast<std::size_t>(INT_MAX)) return -3;
        if (!ADownload.Data && ADownload.Size) {
            record_global(kalax::kNULL_POINTER);
            return -1;
        }
        if (ADownload.Data) text = ADownload.Data;
        length = ADownload.Size;
    }
    // The search reads the file's last line with the C library, which would
    // wait for ever on a FIFO without a writer.
    if (AFileName && platform::path_kind(AFileName) == platform::PathKind::Other) return -4;
    int offset = 0;
    if (zxpld_duplicate_seek(AFileName, nullptr, text, static_cast<int>(length), &offset) != 0) return -1;
    AOffset = static_cast<std::size_t>(offset);
    if (AOffset >= length) return 0;
    return file_result(platform::append_file(AFileName, text + AOffset, length - AOffset));
}

int TKalLogCustom::ConvertBin2Csv(const char *&AText, const KalLogDownload &ADownload) {
    std::vector<char> text;
    const int rc = convert(FilterModule(), ADownload.Data, ADownload.Size, text);
    if (rc < 0) return rc;
    buffer_.swap(text);
    AText = buffer_.data();
    return rc;
}

int TKalLogCustom::LoadFromCsvFile(const char *AFileName, const char *&AText) {
    std::vector<char> text;
    const int rc = file_result(platform::read_file(AFileName, static_cast<std::size_t>(INT_MAX), text));
    if (rc < 0) {
        ClearBuffer();
        AText = "";
        return rc;
    }
    const std::size_t length = text.size();
    text.push_back('\0');  // room was reserved by the read
    buffer_.swap(text);
    AText = buffer_.data();
    return static_cast<int>(length);
}

int TKalLogCustom::LoadFromBinFile(const char *AFileName, const char *&AText) {
    std::vector<char> raw;
    int rc = file_result(platform::read_file(AFileName, static_cast<std::size_t>(INT_MAX), raw));
    std::vector<char> text;
    if (rc == 0) rc = convert(FilterModule(), raw.data(), raw.size(), text);
    if (rc < 0) {
        ClearBuffer();
        AText = "";
        return rc;
    }
    buffer_.swap(text);
    AText = buffer_.data();
    return rc;
}

}  // namespace zxapi
