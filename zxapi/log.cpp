// TKalLog: the log object's events. Operations raise theirs on the caller's
// thread; the worker's notifications become posted events delivered on the
// owner thread, each carrying copies of what the worker saw.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

#include "kalax/zxapi.h"
#include "sdk/runtime/platform.h"
#include "sdk/runtime/result_codes.h"
#include "zxapi/owner_queue.h"

namespace zxapi {

namespace {

using detail::MakePosted;
using detail::PayloadOf;
using detail::Posted;

// The client receives at most KALLOG_READ_CHUNK_MAX bytes at a time, so the
// copy holds the whole chunk.
struct ReadPayload {
    ReadPayload(std::int32_t c, std::uint32_t s) noexcept : csv(c), size(s) {}
    std::int32_t csv;
    std::uint32_t size;
    char bytes[KALLOG_READ_CHUNK_MAX];
};

struct DownloadPayload {
    std::int32_t csv;
    std::unique_ptr<char[]> bytes;  // zero-terminated
    std::size_t size;
};

// What the posted errors are raised as.
std::uint8_t error_code_of(unsigned message) noexcept {
    switch (message) {
    case KALLOG_MSG_CONNECT_ERROR: return KALLOG_ERROR_CONNECT;
    case KALLOG_MSG_CSV_ERROR: return KALLOG_ERROR_GET_CSV;
    case KALLOG_MSG_BIN_ERROR: return KALLOG_ERROR_GET_BIN;
    case KALLOG_MSG_DEL_ERROR: return KALLOG_ERROR_DELETE;
    default: return KALLOG_ERROR_DELETE_ALL;
    }
}

// The error of a request that was started, by the status it began with.
std::uint8_t request_error_of(KalLogStatusT status) noexcept {
    switch (status) {
    case KALLOG_STATUS_GET_CSV: return KALLOG_ERROR_GET_CSV;
    case KALLOG_STATUS_DELETE: return KALLOG_ERROR_DELETE;
    case KALLOG_STATUS_DELETE_ALL: return KALLOG_ERROR_DELETE_ALL;
    default: return KALLOG_ERROR_GET_BIN;
    }
}

// A record of "Memory not found", for a download that could not be copied.
zx_error_struct memory_record() noexcept {
    zx_error_struct e{};
    e.code = kalax::kMEMORY;
    e.sys_code = ENOMEM;
    std::strncpy(e.text, kalax::code_text(kalax::kMEMORY), sizeof e.text - 1);
    kalax::platform::error_text(ENOMEM, e.sys_text, sizeof e.sys_text);
    return e;
}

// ---- the synchronous event table ---------------------------------------------------------
enum class OnSuccess : std::uint8_t { None, Open, Close, Start };
enum class Record : std::uint8_t {
    Global,   // slot 0's
    Module,   // the module's (slot 0's when there is none)
    Request,  // where the failed request left it
};
struct SyncRow {
    OnSuccess success;
    int error;  // KalLogErrorT raised for -1; -1: by the request started
    Record record;
};

}  // namespace

enum class TKalLog::Sync : std::uint8_t { Open, Close, GetLogFile, Delete, DeleteAll, WriteToFile, ConvertBin2Csv };

namespace {

// Indexed by TKalLog::Sync. Only -1 raises OnError; -2 and the other
// operation-specific results raise nothing.
constexpr SyncRow kSyncEvents[] = {
    {OnSuccess::Open, KALLOG_ERROR_OPEN, Record::Global},
    {OnSuccess::Close, KALLOG_ERROR_CLOSE, Record::Module},
    {OnSuccess::Start, -1, Record::Request},
    {OnSuccess::Start, -1, Record::Request},
    {OnSuccess::Start, -1, Record::Request},
    // Both leave their failure's detail in slot 0 (the overlap search's code,
    // or that of a malformed binary log).
    {OnSuccess::None, KALLOG_ERROR_WRITE_TO_FILE, Record::Global},
    {OnSuccess::None, KALLOG_ERROR_CONV_BIN2CSV, Record::Global},
};

}  // namespace

TKalLog::TKalLog(void *owner) : TKalLogCustom(owner) {}

TKalLog::~TKalLog() {
    // While this is still a TKalLog: no notification may run into a half-gone
    // object, and none of its events may be delivered.
    ShutDown();
    StopEvents();
}

int TKalLog::Report(Sync op, int rc) {
    const SyncRow &row = kSyncEvents[static_cast<int>(op)];
    if (rc >= 0) {
        switch (row.success) {
        case OnSuccess::None: break;
        case OnSuccess::Open: {
            TSdkSimpleEventArgs args(this);
            OnOpen.Raise(args);
            break;
        }
        case OnSuccess::Close: {
            TSdkSimpleEventArgs args(this);
            OnClose.Raise(args);
            break;
        }
        case OnSuccess::Start: {
            // The status the request began with: Status may be back at opened.
            TKalLogStatusEventArgs args(this, StartedStatus());
            OnStart.Raise(args);
            break;
        }
        }
    } else if (rc == -1 && OnError) {
        const std::uint8_t code =
            row.error >= 0 ? static_cast<std::uint8_t>(row.error) : request_error_of(StartedStatus());
        bool global = row.record == Record::Global;
        if (row.record == Record::Request) global = RequestFailureIsGlobal();
        TSdkErrorEventArgs args(this, code, ErrorRecord(global));
        OnError.Raise(args);
    }
    return rc;
}

int TKalLog::Open() { return Report(Sync::Open, TKalLogCustom::Open()); }

int TKalLog::Close() {
    const int rc = TKalLogCustom::Close();
    // The worker has ended; what it posted before is of a module that is gone.
    if (rc == 0) PurgeEvents();
    return Report(Sync::Close, rc);
}

int TKalLog::GetLogFile() { return Report(Sync::GetLogFile, TKalLogCustom::GetLogFile()); }
int TKalLog::Delete() { return Report(Sync::Delete, TKalLogCustom::Delete()); }
int TKalLog::DeleteAll() { return Report(Sync::DeleteAll, TKalLogCustom::DeleteAll()); }

int TKalLog::WriteToFile(const char *AFileName, const KalLogDownload &ADownload, std::size_t &AOffset) {
    return Report(Sync::WriteToFile, TKalLogCustom::WriteToFile(AFileName, ADownload, AOffset));
}

int TKalLog::ConvertBin2Csv(const char *&AText, const KalLogDownload &ADownload) {
    return Report(Sync::ConvertBin2Csv, TKalLogCustom::ConvertBin2Csv(AText, ADownload));
}

KalLogDownload TKalLog::LastDownload() const noexcept {
    KalLogDownload d;
    d.Csv = download_csv_;
    d.Data = download_.get();
    d.Size = download_size_;
    return d;
}

// ---- notifications (worker thread): copy, settle the status, post ---------------------------
void TKalLog::DoConnect(int, void *) {
    Post(MakePosted<std::uint8_t>(KALLOG_MSG_CONNECT, static_cast<std::uint8_t>(Status.load())));
}

void TKalLog::PostError(unsigned message, const zx_error_struct *error) noexcept {
    zx_error_struct copy{};
    if (error) copy = *error;
    std::unique_ptr<Posted> event = MakePosted<zx_error_struct>(message, copy);
    Settle();
    Post(std::move(event));
}

void TKalLog::DoConnectError(int, void *, zx_error_struct *error) { PostError(KALLOG_MSG_CONNECT_ERROR, error); }
void TKalLog::DoCsvError(int, void *, zx_error_struct *error) { PostError(KALLOG_MSG_CSV_ERROR, error); }
void TKalLog::DoBinError(int, void *, zx_error_struct *error) { PostError(KALLOG_MSG_BIN_ERROR, error); }
void TKalLog::DoDeleteError(int, void *, zx_error_struct *error) { PostError(KALLOG_MSG_DEL_ERROR, error); }
void TKalLog::DoDeleteAllError(int, void *, zx_error_struct *error) { PostError(KALLOG_MSG_DELALL_ERROR, error); }

// The worker reuses its buffer for the next request and frees it at close, so
// the download travels as a copy of its own.
void TKalLog::PostDownload(std::int32_t csv, const char *data, int length) noexcept {
    const std::size_t size = length > 0 && data ? static_cast<std::size_t>(length) : 0;
    std::unique_ptr<Posted> event;
    std::unique_ptr<char[]> bytes(new (std::nothrow) char[size + 1]);
    if (bytes) {
        if (size) std::memcpy(bytes.get(), data, size);
        bytes[size] = '\0';
        event = MakePosted<DownloadPayload>(KALLOG_MSG_DOWNLOAD, csv, std::move(bytes), size);
    }
    if (!event) {
        // Without memory for the copy the download ends as a failure, never
        // as nothing at all.
        const zx_error_struct e = memory_record();
        event = MakePosted<zx_error_struct>(csv ? KALLOG_MSG_CSV_ERROR : KALLOG_MSG_BIN_ERROR, e);
    }
    Settle();
    Post(std::move(event));
}

void TKalLog::DoCsv(int, void *, const char *text, int length) { PostDownload(1, text, length); }
void TKalLog::DoBin(int, void *, const char *data, int length) { PostDownload(0, data, length); }

void TKalLog::DoRead(int, void *, const char *data, int count) {
    const std::uint32_t size =
        count > 0 && data ? static_cast<std::uint32_t>(std::min<std::size_t>(count, KALLOG_READ_CHUNK_MAX)) : 0;
    // Only a CSV download is CSV; the chunks of a deletion's answer are not.
    const std::int32_t csv = StartedStatus() == KALLOG_STATUS_GET_CSV ? 1 : 0;
    std::unique_ptr<Posted> event = MakePosted<ReadPayload>(KALLOG_MSG_READ, csv, size);
    if (!event) return;  // a lost progress note: the download itself still ends
    ReadPayload &p = PayloadOf<ReadPayload>(*event);
    if (size) std::memcpy(p.bytes, data, size);
    Post(std::move(event));
}

void TKalLog::DoDelete(int, void *) {
    std::unique_ptr<Posted> event = MakePosted<std::uint8_t>(KALLOG_MSG_DELETE, std::uint8_t{KALLOG_STATUS_DELETE});
    Settle();
    Post(std::move(event));
}

void TKalLog::DoDeleteAll(int, void *) {
    std::unique_ptr<Posted> event =
        MakePosted<std::uint8_t>(KALLOG_MSG_DELETE, std::uint8_t{KALLOG_STATUS_DELETE_ALL});
    Settle();
    Post(std::move(event));
}

// ---- delivery (owner thread): the argument objects are built here ------------------------------
void TKalLog::DeliverEvent(Posted &event) {
    switch (event.Message) {
    case KALLOG_MSG_CONNECT: {
        TKalLogStatusEventArgs args(this, PayloadOf<std::uint8_t>(event));
        OnConnect.Raise(args);
        break;
    }
    case KALLOG_MSG_DELETE: {
        TKalLogStatusEventArgs args(this, PayloadOf<std::uint8_t>(event));
        OnDelete.Raise(args);
        break;
    }
    case KALLOG_MSG_READ: {
        ReadPayload &p = PayloadOf<ReadPayload>(event);
        TKalLogBufferEventArgs args(this, p.csv, p.bytes, p.size);
        OnRead.Raise(args);
        break;
    }
    case KALLOG_MSG_DOWNLOAD: {
        // Kept by the object until the next download replaces it, so a
        // handler may hold on to Data.
        DownloadPayload &p = PayloadOf<DownloadPayload>(event);
        download_ = std::move(p.bytes);
        download_size_ = p.size;
        download_csv_ = p.csv;
        TKalLogBufferEventArgs args(this, download_csv_, download_.get(), static_cast<std::uint32_t>(download_size_));
        OnDownload.Raise(args);
        break;
    }
    case KALLOG_MSG_CONNECT_ERROR:
    case KALLOG_MSG_CSV_ERROR:
    case KALLOG_MSG_BIN_ERROR:
    case KALLOG_MSG_DEL_ERROR:
    case KALLOG_MSG_DELALL_ERROR: {
        TSdkErrorEventArgs args(this, error_code_of(event.Message), PayloadOf<zx_error_struct>(event));
        OnError.Raise(args);
        break;
    }
    default:
        break;
    }
}

}  // namespace zxapi
