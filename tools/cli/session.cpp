#include "tools/cli/session.h"

#include <unistd.h>

#include <climits>
#include <cstdint>
#include <condition_variable>
#include <cstring>
#include <mutex>

#include "tools/cli/failure.h"
#include "tools/cli/sizes.h"

namespace kalax::cli {

namespace {

// Completion kinds of zxxml_finish / zxxml_wait_finish as zxxml.h numbers them.
constexpr int kFinishWorker = 0;
constexpr int kFinishValues = 2;
constexpr int kFinishSetup = 4;
constexpr int kFinishSnmp = 6;
constexpr int kFinishSend = 7;
// zxxml_get_snmp_manager_cache's address: a dotted IPv4 address and its terminator.
constexpr size_t kAddressSize = 16;

zx_error_struct xml_record(int slot) {
    zx_error_struct e{};
    zxxml_error(slot, &e);
    return e;
}

zx_error_struct pld_record(int slot) {
    zx_error_struct e{};
    zxpld_error(slot, &e);
    return e;
}

// The clients give up on a unit that stays silent this long before its answer
// begins, with code 71 like any answer that is no HTTP reply.
constexpr int kSilenceLimit_s = 10;

// What a failure of a request that took `took` means to a person: a code 71
// that came after the silence limit is a unit that did not answer.
std::string silence_note(int code, std::chrono::steady_clock::duration took, int timeout_s) {
    if (code == 19) return ": the unit did not answer within " + std::to_string(timeout_s) + " s";
    if (code == 71 && took >= std::chrono::seconds(kSilenceLimit_s))
        return ": the unit did not answer within " + std::to_string(kSilenceLimit_s) + " s";
    return {};
}

}  // namespace

// ---- both clients -------------------------------------------------------------

ClientLibraries::ClientLibraries() {
    if (zxxml_init() < 0) fail(xml_record(0), "starting the agent XML client");
    xml_ = true;
    if (zxpld_init() < 0) {
        const zx_error_struct e = pld_record(0);
        zxxml_uninit();
        fail(e, "starting the data-log client");
    }
    pld_ = true;
}

ClientLibraries::~ClientLibraries() {
    if (pld_) zxpld_uninit();
    if (xml_) zxxml_uninit();
}

// ---- agent XML client -----------------------------------------------------------

UnitSession::UnitSession(const Target &target, const Options &options)
    : timeout_s_(options.timeout_s), label_(target.label()) {
    // No request goes out before the credentials are set below.
    zxxml_settings_struct settings{};
    module_ = zxxml_open(target.address.c_str(), target.port, &settings, nullptr);
    if (module_ < 0) fail(xml_record(0), label_);
    try {
        // The client checks the lengths (codes 42, 43).
        if (options.user && (zxxml_authenticate_get(module_, options.user->c_str(), options.password->c_str()) < 0 ||
                             zxxml_authenticate_set(module_, options.user->c_str(), options.password->c_str()) < 0))
            fail(xml_record(module_), label_ + ": credentials");
        await(kFinishWorker, "starting the worker");
    } catch (...) {
        zxxml_close(module_);
        throw;
    }
}

UnitSession::~UnitSession() { zxxml_close(module_); }

void UnitSession::refused(const char *what) const {
    zx_error_struct e = xml_record(module_);
    if (e.code == 0) e = xml_record(0);
    fail(e, label_ + ": " + what);
}

void UnitSession::await(int kind, const char *what) {
    const auto start = std::chrono::steady_clock::now();
    if (zxxml_wait_finish(module_, kind, timeout_s_) < 0) {
        // Timeouts and semaphore failures land in slot 0, a stopped worker in the module's.
        zx_error_struct e = xml_record(0);
        if (e.code != 19 && e.code != 20 && e.code != 2) e = xml_record(module_);
        fail(e, label_ + ": " + what + silence_note(e.code, std::chrono::steady_clock::now() - start, timeout_s_));
    }
    // The worker clears the module's record before it serves, so it now holds
    // this request's outcome.
    const zx_error_struct e = xml_record(module_);
    if (e.code != 0)
        fail(e, label_ + ": " + what + silence_note(e.code, std::chrono::steady_clock::now() - start, timeout_s_));
}

void UnitSession::fetch(bool setup) {
    const char *what = setup ? "reading setup.xml" : "reading values.xml";
    if ((setup ? zxxml_get_setup(module_) : zxxml_get_values(module_)) < 0) refused(what);
    await(setup ? kFinishSetup : kFinishValues, what);
}

std::string UnitSession::document(bool setup) const {
    char *text = nullptr;
    int length = 0;
    if ((setup ? zxxml_get_setup_xml(module_, &text, &length) : zxxml_get_values_xml(module_, &text, &length)) < 0 ||
        text == nullptr || length < 0)
        refused(setup ? "reading setup.xml" : "reading values.xml");
    return std::string(text, strnlen(text, static_cast<size_t>(length)));
}

void UnitSession::send_setup_text(const std::string &document) {
    // The client sizes its working copy at length + 1024.
    if (document.size() > INT_MAX - 2048) fail(12, label_ + ": setup document");
    if (zxxml_send_setup_xml(module_, document.c_str(), static_cast<int>(document.size())) < 0)
        refused("sending setup.xml");
    await(kFinishSend, "sending setup.xml");
}

void UnitSession::send_setup(const zxxml_setup_struct &setup, const zxxml_setup_count_struct &counts) {
    if (zxxml_send_setup(module_, &setup, &counts) < 0) refused("sending setup.xml");
    await(kFinishSend, "sending setup.xml");
}

SnmpManager UnitSession::snmp_manager() {
    if (zxxml_get_snmp_manager(module_) < 0) refused("reading the SNMP manager");
    await(kFinishSnmp, "reading the SNMP manager");
    char address[kAddressSize] = {};
    SnmpManager m;
    if (zxxml_get_snmp_manager_cache(module_, address, &m.port) < 0) refused("reading the SNMP manager");
    m.address.assign(address, strnlen(address, sizeof address));
    return m;
}

void UnitSession::set_snmp_manager(const std::string &address, int port) {
    if (zxxml_set_snmp_manager(module_, address.c_str(), port) < 0) refused("setting the SNMP manager");
    await(kFinishSend, "setting the SNMP manager");
}

// ---- progress -----------------------------------------------------------------------

ProgressMeter::ProgressMeter(FILE *out, std::string what)
    : out_(out != nullptr && ::isatty(::fileno(out)) ? out : nullptr),
      what_(std::move(what)),
      start_(std::chrono::steady_clock::now()),
      last_draw_(start_) {}

void ProgressMeter::add(size_t bytes) {
    bytes_ += bytes;
    const auto now = std::chrono::steady_clock::now();
    if (out_ && now - last_draw_ >= std::chrono::milliseconds(100)) {
        last_draw_ = now;
        draw(false);
    }
}

size_t ProgressMeter::finish() {
    if (out_) draw(true);
    return bytes_;
}

void ProgressMeter::abandon() {
    if (out_) std::fputc('\n', out_);
}

void ProgressMeter::draw(bool final) {
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    // The line is redrawn in place; blanks wipe what a longer line left.
    if (final)
        std::fprintf(out_, "\r%s: %s in %.2f s (%s)   \n", what_.c_str(), human_size(bytes_).c_str(), seconds,
                     human_rate(bytes_, seconds).c_str());
    else
        std::fprintf(out_, "\r%s: %s (%s)   ", what_.c_str(), human_size(bytes_).c_str(),
                     human_rate(bytes_, seconds).c_str());
    std::fflush(out_);
}

// ---- data-log client -----------------------------------------------------------

struct LogSession::State {
    std::mutex mu;
    std::condition_variable cv;
    bool done = false;
    zx_error_struct error{};
    std::string raw;  // the body bytes as they arrived, before the client's filter pass
    size_t limit = SIZE_MAX;  // raw stops growing here; `over` tells
    bool over = false;
    std::unique_ptr<ProgressMeter> meter;  // touched by the worker only while a download runs

    static State &of(void *user) { return *static_cast<State *>(user); }
    void finish(const zx_error_struct *e) {
        {
            std::lock_guard lock(mu);
            if (e != nullptr) error = *e;
            done = true;
        }
        cv.notify_all();
    }
};

namespace {

void on_data(int, void *user, const char *data, int count) {
    auto &s = LogSession::State::of(user);
    if (count <= 0) return;
    if (s.meter) s.meter->add(static_cast<size_t>(count));
    std::lock_guard lock(s.mu);
    if (s.over || s.raw.size() + static_cast<size_t>(count) > s.limit) {
        s.over = true;
        return;
    }
    s.raw.append(data, static_cast<size_t>(count));
}
// The raw body is already kept from on_data; the client's copy is not needed.
void on_body(int, void *user, const char *, int) { LogSession::State::of(user).finish(nullptr); }
void on_done(int, void *user) { LogSession::State::of(user).finish(nullptr); }
void on_error(int, void *user, zx_error_struct *e) {
    zx_error_struct copy{};
    if (e != nullptr) copy = *e;
    if (copy.code == 0) copy.code = 73;  // an error callback always means failure
    LogSession::State::of(user).finish(&copy);
}

}  // namespace

LogSession::LogSession(const Target &target, const Options &options, FILE *progress)
    : state_(std::make_unique<State>()),
      timeout_s_(options.timeout_s),
      label_(target.label()),
      progress_(progress),
      type_filter_(options.type_filter),
      group_filter_(options.group_filter) {
    state_->limit = options.max_size;
    zxpld_settings_struct s;
    zxpld_clr_settings_struct(&s);
    s.address = target.address.c_str();
    s.port = target.port;
    s.type_filter = options.type_filter;
    s.group_filter = options.group_filter;
    if (options.user) {
        s.user = options.user->c_str();
        s.password = options.password->c_str();
    }
    s.user_data = state_.get();
    s.on_connect_error = on_error;
    s.on_data = on_data;
    s.on_csv = on_body;
    s.on_bin = on_body;
    s.on_del = on_done;
    s.on_delall = on_done;
    s.on_csv_error = on_error;
    s.on_bin_error = on_error;
    s.on_del_error = on_error;
    s.on_delall_error = on_error;
    module_ = zxpld_open(&s);
    if (module_ < 0) fail(pld_record(0), label_);
}

LogSession::~LogSession() {
    // A worker that would not stop may still call back into the state: leave it be.
    if (zxpld_close(module_) < 0) (void)state_.release();
}

std::string LogSession::run(int (*request)(int), const char *what) {
    {
        std::lock_guard lock(state_->mu);
        state_->done = false;
        state_->error = zx_error_struct{};
        state_->raw.clear();
        state_->over = false;
    }
    const auto start = std::chrono::steady_clock::now();
    if (request(module_) < 0) fail(pld_record(module_), label_ + ": " + what);
    std::unique_lock lock(state_->mu);
    if (!state_->cv.wait_for(lock, std::chrono::seconds(timeout_s_), [&] { return state_->done; }))
        fail(19, label_ + ": " + what + silence_note(19, {}, timeout_s_));
    // The tool's own limit, when it was passed, is the cause the person set.
    if (state_->over)
        fail(12, label_ + ": " + what + ": the log is larger than --max-size " + std::to_string(state_->limit) +
                     " (" + human_size(state_->limit) + "); nothing was written");
    if (state_->error.code == 12)
        fail(12, label_ + ": " + what + ": the reply passed the client's bound of 32 MiB; nothing was written");
    if (state_->error.code != 0)
        fail(state_->error, label_ + ": " + what +
                                silence_note(state_->error.code, std::chrono::steady_clock::now() - start, timeout_s_));
    // The raw body: the client's own pass drops what follows a NUL and ends a
    // cut last line as if it were whole, which the tool must see.
    return std::move(state_->raw);
}

std::string LogSession::download(bool binary) {
    const char *what = binary ? "downloading spilog.bin" : "downloading spilog.txt";
    state_->meter = std::make_unique<ProgressMeter>(progress_, what);
    std::string body;
    try {
        body = run(binary ? zxpld_get_spilog_bin : zxpld_get_spilog_csv, what);
    } catch (const Failure &) {
        state_->meter->abandon();
        throw;
    }
    // The worker is done with the meter once the completion callback ran; a
    // delete that follows draws none.
    state_->meter->finish();
    state_->meter.reset();
    return body;
}

std::string LogSession::to_csv(const std::string &binary) const {
    return binary_log_to_csv(module_, binary, label_ + ": spilog.bin");
}

void LogSession::remove(bool all) {
    run(all ? zxpld_get_spilog_delall : zxpld_get_spilog_del, all ? "deleting the whole log" : "deleting the log");
}

std::string binary_log_to_csv(int module, const std::string &binary, const std::string &context) {
    // Four characters per byte hold every ordinary record; grow when the text came out full.
    if (binary.size() > INT_MAX / 8) fail(12, context);
    size_t capacity = binary.size() * 4 + 64;
    for (;;) {
        std::string text(capacity, '\0');
        int length = static_cast<int>(capacity);
        if (zxpld_bin2csv(module, reinterpret_cast<const unsigned char *>(binary.data()),
                          static_cast<int>(binary.size()), text.data(), &length) < 0)
            fail(11, context + ": malformed record");
        if (static_cast<size_t>(length) + 1 < capacity) {
            text.resize(static_cast<size_t>(length));
            return text;
        }
        if (capacity > INT_MAX / 2) fail(12, context);
        capacity *= 2;
    }
}

}  // namespace kalax::cli
