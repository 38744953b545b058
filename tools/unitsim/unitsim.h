// kalax::sim — a simulated Kalyx monitoring unit.
//
// A Unit is an HTTP/1.0 server on 127.0.0.1 that answers like a real unit:
//   GET  /values.xml                         values document (never asks for credentials)
//   GET  /setup.xml, POST /setup.xml         setup document; a POST applies what it carries
//   GET  /spilog.txt, /spilog.bin            data log as CSV lines or binary records
//   GET  /spilog.del, /spilog.delall         delete what the last download served / everything
// When the config has a user or a password, setup and log requests need HTTP Basic
// credentials (401 otherwise). Unknown paths give 404.
//
// The unit is a model: inputs, outputs and sensors whose values move with a clock
// (manual by default, so tests drive it with advance(); values depend only on seed
// and clock), trap destinations, and a data log that grows one round of records per
// log period. Faults can be injected per path, and every request's raw bytes are
// recorded. It shares no code with the library on purpose.
//
// All member functions are thread-safe. stop() (and the destructor) end every thread
// promptly, also while a fault is waiting.
#ifndef KALAX_UNITSIM_UNITSIM_H
#define KALAX_UNITSIM_UNITSIM_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace kalax::sim {

// Unit families, named as the library tells them apart by Agent_Model.
enum class Family { kalyx, varno, ostra, unknown };

// Family of an Agent_Model text (leading decimal number; unknown when none).
Family family_of_model(const std::string& model);
// A model number of the family: "21", "2", "33", "99".
const char* model_of_family(Family family);
// Whether documents of this family and XmlVer use the new field forms
// (Entry_State/Entry_Alarm rather than Entry_Color/Entry_AlarmState).
bool new_dialect(Family family, const std::string& xml_ver);

struct TrapDest {
    std::string community = "public";
    std::string ip;
    int port = 162;
    bool enabled = true;
    friend bool operator==(const TrapDest&, const TrapDest&) = default;
};

// One data-log record. Pairs are (sensor/input/output number, value): sensors
// log tenths of their unit, inputs and outputs 0 or 1.
struct LogRecord {
    uint8_t type = 0;   // 0 normal, 1 alarm
    int32_t time = 0;   // seconds since 1970 UTC
    uint8_t group = 0;  // 0-2 sensors, 3 inputs, 4 outputs
    std::vector<std::pair<uint16_t, int16_t>> pairs;
    friend bool operator==(const LogRecord&, const LogRecord&) = default;
};
// A record holds at most this many pairs (its length must fit one byte).
inline constexpr size_t kMaxLogPairs = 61;

// The binary form of records (little-endian, no header).
std::string encode_log_bin(const std::vector<LogRecord>& records);
// The CSV form: "Y/m/d;H:M:S;type;group;count;w;s;...;" CR LF per record, local time.
std::string format_log_csv(const std::vector<LogRecord>& records);

struct UnitConfig {
    std::string model = "21";       // Agent_Model; decides the family
    std::string xml_ver = "2.34";   // Agent_XmlVer: "2.0", "2.20", "2.34", "2.35", "2.36", "1.00", ...
    int inputs = 4;                 // list sizes; may exceed 64/64/42 for hostile tests
    int outputs = 2;
    int sensors = 3;
    bool namespaced_root = false;   // <val:Root xmlns:val=...> / <set:Root xmlns:set=...>
    std::string user, password;     // either non-empty: setup and log need credentials
    uint32_t seed = 1;
    std::string device_name = "Serverraum S\xC3\xBC" "d";
    std::string mac = "00:0A:59:00:00:01";
    // Names by position; missing ones get defaults (sensor 1 is "Température").
    std::vector<std::string> input_names, output_names, sensor_names;
    std::vector<TrapDest> traps = {{"public", "192.0.2.1", 162, true}, {"public", "0.0.0.0", 162, false}};
    int sensor_id_base = 0;         // ID of sensor 1; 0: 65 for the Varno family, 215 otherwise
    bool counters_enabled = false;  // Counters_E (written for the Varno family only)
    bool wall_clock = false;        // clock follows the real time instead of start_time + advance()
    int64_t start_time = 1205589909;
    int log_period_s = 60;          // one round of log records per period
    int history_periods = 0;        // periods of log generated before the start
    bool auto_log = true;           // false: the log holds only what tests append
    size_t log_capacity = 10000;    // oldest records go when the log is full
};

// What a path answers instead of its normal response. Zero/empty fields do nothing.
struct Fault {
    int status = 0;                           // status code to answer with
    int silence_ms = 0;                       // wait before answering
    bool never_answer = false;                // read the request, then say nothing until the client closes
    int drip_bytes = 0;                       // send the response in pieces of this many bytes ...
    int drip_delay_ms = 0;                    // ... with this pause between them
    bool close_before_header = false;         // send a cut head (no blank line), then close
    std::optional<std::string> body;          // this body instead of the document
    std::optional<std::string> raw_response;  // exactly these bytes, nothing else ("" closes at once)
    size_t oversize = 0;                      // body padded with spaces (or cut) to exactly this size
    // Where the answer breaks off, counted in bytes after its head (the first empty
    // line; byte 0 of a raw response without one). Stall: say nothing more until the
    // client closes. Reset: close with a TCP reset instead of an orderly close.
    // Close: an orderly close, as a unit that stops in the middle of its answer.
    std::optional<size_t> stall_after_body;
    std::optional<size_t> reset_after_body;
    std::optional<size_t> close_after_body;
    // The body never ends: spaces follow the answer for ever, in drip pieces when
    // drip_bytes is set, else as fast as the client takes them.
    bool endless = false;
    int remaining = -1;                       // requests it applies to; -1 until cleared

    // The faults tests ask for most, in one call.
    static Fault raw(std::string bytes) {
        Fault f;
        f.raw_response = std::move(bytes);
        return f;
    }
    static Fault with_body(std::string text) {
        Fault f;
        f.body = std::move(text);
        return f;
    }
    static Fault with_status(int code) {
        Fault f;
        f.status = code;
        return f;
    }
};

class Unit {
public:
    explicit Unit(UnitConfig config = {});
    ~Unit();
    Unit(const Unit&) = delete;
    Unit& operator=(const Unit&) = delete;

    // ---- server
    bool start(int port = 0);  // false when the port cannot be bound
    void stop();               // joins every thread; idempotent
    bool running() const;
    int port() const;          // the bound port (also when 0 was asked for)
    std::string url() const;   // "http://127.0.0.1:<port>"

    // Faults by request path ("/values.xml", ...); "*" applies to paths without their own.
    void set_fault(const std::string& path, Fault fault);
    void clear_faults();
    // Pending connections wait this long before they are accepted (0: none).
    void set_accept_delay(int ms);

    // Raw bytes of every request received (head and body exactly), oldest first.
    // A request is recorded once it was read whole, or when the client gave up.
    std::vector<std::string> requests() const;
    size_t request_count() const;
    size_t connection_count() const;  // connections accepted
    // Waits until at least n requests are recorded; false on timeout.
    bool wait_for_requests(size_t n, int timeout_ms) const;
    void clear_requests();

    // ---- clock (seconds since 1970)
    int64_t now() const;
    void advance(int64_t seconds);

    // ---- documents, as served now
    std::string values_xml();
    std::string setup_xml();
    // Applies a posted setup document as POST /setup.xml does: 200, or 400 when it is not
    // well-formed or its root is not (any prefix:)Root; nothing is applied then. An <Entry>
    // names its target by <ID> where the list has IDs (inputs 1.., outputs 151.., sensors
    // sensor_id_base..), else by <Idx> (1-based), else by its place in the posted list; an
    // unknown ID changes nothing. TempRangeSet entry k addresses sensor k (Min, Max, Name,
    // Calib, Hyst) unless the same post sets that field through SenSet. SnmpTraps, MailDest,
    // GroupSet and SnmpAccess grow up to their capacity. Identity (Agent), live readings
    // (Value/State/Color/Cnt of inputs and sensors, Units, output Type), IDs, Idx, User
    // entries, Status, Time Date/Time and unknown elements are left alone.
    int apply_setup(const std::string& document);

    // ---- model
    Family family() const;
    // Text of a field by its key path without "Root_", e.g. "SenSet_Entry_Min" (entry = list
    // position from 0), "Network_IPAddr", "DataLogger_Report_E", "Info". Empty when absent.
    std::string field(const std::string& path, int entry = 0) const;
    // Sets a field. Setting a moving field (a Value, State, Color, Time) pins it.
    // False when the path names no field or the entry does not exist.
    bool set_field(const std::string& path, int entry, const std::string& text);
    // Entries in a list ("BinaryInSet", "SenSet", "SnmpTraps", ...).
    int count(const std::string& list) const;
    int input_value(int i) const;
    int output_value(int k) const;
    double sensor_value(int j) const;
    std::string sensor_name(int j) const;
    double sensor_min(int j) const;
    double sensor_max(int j) const;
    std::vector<TrapDest> traps() const;

    // ---- data log
    std::vector<LogRecord> log() const;
    bool append_log(const LogRecord& record);  // false with more than kMaxLogPairs pairs
    void clear_log();
    // Serve these bytes/this text instead of the records (until clear_log_raw, delall
    // or a del after it was served).
    void set_log_raw_bin(std::string bytes);
    void set_log_raw_txt(std::string text);
    void clear_log_raw();
    size_t log_served() const;  // records the last download served (what /spilog.del removes)

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// A loopback port with nothing listening on it: connections are refused. The port
// stays reserved (bound, not listening) for the life of the process.
int refused_port();

}  // namespace kalax::sim

#endif
