// The log objects: the data log of one monitoring unit seen through the
// data-log client (zxpld.h).
//
// TKalLogCustom keeps the connection settings and filters, owns one module of
// the client while it is open, keeps the status of the request in progress and
// does the file and text work around a download. TKalLog adds the events.
// Operations are called from the thread that made the object and never throw:
//
//   0 or more  success (text-producing operations: the text's length)
//   -1         a client call or a conversion failed (detail in an error record:
//              the module's, or slot 0's where the operation says so)
//   -2         the status does not allow the operation; nothing was started
//   -3         memory could not be obtained, or a size does not fit the result
//   -4         a file could not be opened (missing, or not a regular file)
//   -5         a file could not be read or written whole
//   -6         no further line (NextLine only)
//
// File names are bytes in the file system's encoding (UTF-8 on Linux), used
// as given.
#ifndef KALAX_ZXAPI_LOG_H
#define KALAX_ZXAPI_LOG_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "zxapi.h"

namespace zxapi {

// Messages of the log objects' owner-thread events and what each carries.
enum KalLogMessageT : unsigned {
    KALLOG_MSG_CONNECT = 0x400,        // Status when connected         -> OnConnect
    KALLOG_MSG_CONNECT_ERROR = 0x401,  // copy of the error record      -> OnError(CONNECT)
    KALLOG_MSG_READ = 0x402,           // copy of the chunk (see OnRead) -> OnRead
    KALLOG_MSG_DOWNLOAD = 0x403,       // copy of the download          -> OnDownload
    KALLOG_MSG_DELETE = 0x404,         // 4 delete / 5 delete all       -> OnDelete
    KALLOG_MSG_CSV_ERROR = 0x405,      // copy of the error record      -> OnError(GET_CSV)
    KALLOG_MSG_BIN_ERROR = 0x406,      //                               -> OnError(GET_BIN)
    KALLOG_MSG_DEL_ERROR = 0x407,      //                               -> OnError(DELETE)
    KALLOG_MSG_DELALL_ERROR = 0x408,   //                               -> OnError(DELETE_ALL)
};

// What ParseRecordLine reads from a line's type and group fields.
enum KalLogRecTypeT : std::uint8_t {
    KALLOG_REC_TYPE_NORMAL = 0,
    KALLOG_REC_TYPE_ALARM = 1,
};

enum KalLogRecGroupT : std::uint8_t {
    KALLOG_REC_GROUP_SENSOR = 0,
    KALLOG_REC_GROUP_INPUT = 1,
    KALLOG_REC_GROUP_OUTPUT = 2,
};

// Room for ParseRecordLine's date ("YYYY/MM/DD") and time ("HH:MM:SS") with
// their terminators; longer fields are cut to the room given.
inline constexpr std::size_t KALLOG_DATE_SIZE = 11;
inline constexpr std::size_t KALLOG_TIME_SIZE = 9;
// The most bytes of one received chunk that OnRead hands over.
inline constexpr std::size_t KALLOG_READ_CHUNK_MAX = 1024;

// A finished download as WriteToFile and ConvertBin2Csv take it. Describing
// nothing: Csv 0, Data null, Size 0.
struct KalLogDownload {
    std::int32_t Csv = 0;          // 1: CSV text; 0: binary records
    const char *Data = nullptr;
    std::size_t Size = 0;
};

class ZXAPI_CLASS TKalLogCustom : public TSdkObject {
public:
    explicit TKalLogCustom(void *owner);
    // Closes the module without events; a worker still inside a notification
    // is waited for, and none runs afterwards.
    virtual ~TKalLogCustom();
    TKalLogCustom(const TKalLogCustom &) = delete;
    TKalLogCustom &operator=(const TKalLogCustom &) = delete;

    // ---- notifications: the module's worker thread calls these -------------------
    // `module` is this object's module and `owner` this object. The pointers are
    // valid only during the call. They must not throw, must not wait for the
    // owner thread and must not close the module. Here they return the status
    // to opened where a request ended.
    virtual void DoConnect(int module, void *owner);
    virtual void DoConnectError(int module, void *owner, zx_error_struct *error);
    virtual void DoCsv(int module, void *owner, const char *text, int length);
    virtual void DoCsvError(int module, void *owner, zx_error_struct *error);
    virtual void DoBin(int module, void *owner, const char *data, int length);
    virtual void DoBinError(int module, void *owner, zx_error_struct *error);
    virtual void DoRead(int module, void *owner, const char *data, int count);
    virtual void DoDelete(int module, void *owner);
    virtual void DoDeleteError(int module, void *owner, zx_error_struct *error);
    virtual void DoDeleteAll(int module, void *owner);
    virtual void DoDeleteAllError(int module, void *owner, zx_error_struct *error);

    // ---- operations -------------------------------------------------------------------
    // Opens a module with IP, Port, Username, Password (always sent, also when
    // empty), RecType and RecGroup. -1: detail in slot 0 (an IP of 16
    // characters or more: code 13).
    virtual int Open();
    // Allowed in every status but closed; a request in progress is abandoned.
    virtual int Close();
    // Start a request (Csv nonzero: the CSV form, else the binary form). The
    // status is the request's before the request is queued, so a worker that
    // ends it at once always finds it; -1 (the module is gone: code 16 in slot
    // 0) leaves the status opened.
    virtual int GetLogFile();
    virtual int Delete();
    virtual int DeleteAll();
    // Appends to the CSV log file `AFileName` the part of the download it does
    // not hold yet (a binary download is converted with the module's filters
    // first); `AOffset` receives where that part begins in the CSV text. The
    // file receives it whole or not at all. -1: detail in slot 0 (the overlap
    // search's code, or 11 for a malformed binary log).
    virtual int WriteToFile(const char *AFileName, const KalLogDownload &ADownload, std::size_t &AOffset);
    // The download read as binary records, converted to CSV text with the
    // module's filters. `AText` receives the text (owned by the object, valid
    // until its next load or conversion); untouched on failure. -1: malformed
    // (code 11 in slot 0).
    virtual int ConvertBin2Csv(const char *&AText, const KalLogDownload &ADownload);

    // The library-wide record (AGlobal nonzero, or no module), else the module's.
    void GetLastError(TSdkError &AError, int AGlobal) const;
    // Resolves a host name (UTF-8) into IP: 0; -1 with IP unchanged.
    int SetHostIP(const char *AHost);
    // Load a log file as text into the object's buffer. `AText` always receives
    // the buffer (an empty text on failure); the text is zero-terminated, and an
    // empty file is an empty text with result 0. A binary file is converted
    // with the module's filters (-1: malformed, code 11 in slot 0).
    int LoadFromCsvFile(const char *AFileName, const char *&AText);
    int LoadFromBinFile(const char *AFileName, const char *&AText);

    // The next line of a text from `ACursor`: its length with the cursor moved
    // onto its CR or LF; 0 with the cursor moved one byte past a CR or LF it
    // stood on; -6 when no CR or LF follows (a last line without its end is
    // never returned) or the cursor is outside the text, the cursor unchanged.
    static int NextLine(const char *&ACursor, const char *AText, std::size_t ALength);
    // Splits one CSV log line: date and time texts (cut to the room given,
    // always terminated when the room is not 0), type (field 2: "1" alarm),
    // group (field 3: "3" input, "4" output, else sensor) and up to `ACapacity`
    // values from field 5 on. Result: the number of values stored.
    static int ParseRecordLine(const char *ALine, std::size_t ALength, int ACapacity, char *ADate,
                               std::size_t ADateSize, char *ATime, std::size_t ATimeSize, std::uint8_t &AType,
                               std::uint8_t &AGroup, std::int32_t *AValues);

    // ---- fields ---------------------------------------------------------------------
    std::int32_t Handle = -1;
    // Written by the owner thread and by the worker's notifications.
    std::atomic<KalLogStatusT> Status{KALLOG_STATUS_CLOSED};
    std::string IP = "127.0.0.1";
    std::int32_t Port = 80;
    std::int32_t Csv = 0;
    std::string Username;
    std::string Password;
    std::uint8_t RecGroup = 0;  // KALLOG_GROUP_* of zxpld.h, taken at Open
    std::uint8_t RecType = 0;   // KALLOG_TYPE_* of zxpld.h, taken at Open

protected:
    // The status the last request began with, as the operation set it: Status
    // itself may already be back at opened when the operation returns.
    KalLogStatusT StartedStatus() const noexcept { return started_.load(); }
    // A request ended: back to opened, unless the object was closed meanwhile.
    void Settle() noexcept;
    // Detaches the notifications (waiting for one in progress) and closes the
    // module; after it nothing of this object is called from a worker. A class
    // that overrides the notifications calls it first thing in its destructor,
    // before its own part is gone (TKalLog does).
    void ShutDown() noexcept;
    // The record of the module, or of slot 0 when there is none or AGlobal.
    zx_error_struct ErrorRecord(bool AGlobal) const noexcept;
    // Whether the request operation that just returned -1 left its detail in
    // slot 0 (its module was gone) rather than in the module's record.
    bool RequestFailureIsGlobal() const noexcept;

private:
    int Request(KalLogStatusT status, int (*call)(int));
    int FilterModule() const noexcept;
    // The buffer as an empty text; for failed loads.
    void ClearBuffer() noexcept;

    std::vector<char> buffer_;  // the text of the last load or conversion
    void *link_ = nullptr;      // the notifications' way to this object
    std::atomic<KalLogStatusT> started_{KALLOG_STATUS_CLOSED};
};

// A log object whose notifications reach its handlers as events on the thread
// that made it (see zxevents.h for how that thread delivers them).
//
// OnDownload: Data points at the object's own copy of the download, which it
// keeps (also across Close) until the next download is delivered or the
// object is destroyed; LastDownload() describes it.
// OnRead: Data points at a copy of the body bytes one received chunk brought
// (the client receives at most KALLOG_READ_CHUNK_MAX bytes at a time), Size is
// their number; the copy is valid only during the handler's call. Csv is 1
// during a CSV download, else 0.
// Close and destruction drop the events still queued, so nothing follows OnClose.
class ZXAPI_CLASS TKalLog : public TKalLogCustom, public TEventTarget {
public:
    explicit TKalLog(void *owner);
    ~TKalLog() override;

    void DoConnect(int module, void *owner) override;
    void DoConnectError(int module, void *owner, zx_error_struct *error) override;
    void DoCsv(int module, void *owner, const char *text, int length) override;
    void DoCsvError(int module, void *owner, zx_error_struct *error) override;
    void DoBin(int module, void *owner, const char *data, int length) override;
    void DoBinError(int module, void *owner, zx_error_struct *error) override;
    void DoRead(int module, void *owner, const char *data, int count) override;
    void DoDelete(int module, void *owner) override;
    void DoDeleteError(int module, void *owner, zx_error_struct *error) override;
    void DoDeleteAll(int module, void *owner) override;
    void DoDeleteAllError(int module, void *owner, zx_error_struct *error) override;

    int Open() override;
    int Close() override;
    int GetLogFile() override;
    int Delete() override;
    int DeleteAll() override;
    int WriteToFile(const char *AFileName, const KalLogDownload &ADownload, std::size_t &AOffset) override;
    int ConvertBin2Csv(const char *&AText, const KalLogDownload &ADownload) override;

    // The last download delivered by OnDownload (nothing before the first).
    KalLogDownload LastDownload() const noexcept;

    THandlerSlot<TSdkSimpleEventArgs> OnOpen;
    THandlerSlot<TSdkSimpleEventArgs> OnClose;
    THandlerSlot<TKalLogStatusEventArgs> OnStart;
    THandlerSlot<TKalLogStatusEventArgs> OnConnect;
    THandlerSlot<TKalLogBufferEventArgs> OnRead;
    THandlerSlot<TKalLogBufferEventArgs> OnDownload;
    THandlerSlot<TKalLogStatusEventArgs> OnDelete;
    THandlerSlot<TSdkErrorEventArgs> OnError;

protected:
    void DeliverEvent(detail::Posted &event) override;

private:
    enum class Sync : std::uint8_t;
    // Raises what the outcome `rc` of operation `op` calls for.
    int Report(Sync op, int rc);
    void PostError(unsigned message, const zx_error_struct *error) noexcept;
    void PostDownload(std::int32_t csv, const char *data, int length) noexcept;

    std::int32_t download_csv_ = 0;
    std::unique_ptr<char[]> download_;  // the bytes of LastDownload, zero-terminated
    std::size_t download_size_ = 0;
};

}  // namespace zxapi

#endif
