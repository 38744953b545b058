#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdlib>
#include <mutex>

#include "unitsim/http.h"
#include "unitsim/model.h"
#include "unitsim/unitsim.h"

namespace kalax::sim {

namespace {

std::string base64(std::string_view in) {
    static const char* const kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    size_t i = 0;
    for (; i + 2 < in.size(); i += 3) {
        uint32_t v = (static_cast<uint8_t>(in[i]) << 16) | (static_cast<uint8_t>(in[i + 1]) << 8) |
                     static_cast<uint8_t>(in[i + 2]);
        for (int s = 18; s >= 0; s -= 6) out += kAlphabet[(v >> s) & 63];
    }
    size_t rest = in.size() - i;
    if (rest > 0) {
        uint32_t v = static_cast<uint32_t>(static_cast<uint8_t>(in[i])) << 16;
        if (rest == 2) v |= static_cast<uint32_t>(static_cast<uint8_t>(in[i + 1])) << 8;
        out += kAlphabet[(v >> 18) & 63];
        out += kAlphabet[(v >> 12) & 63];
        out += rest == 2 ? kAlphabet[(v >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

bool scheme_is_basic(std::string_view s) {
    if (s.size() != 5) return false;
    const char* want = "basic";
    for (size_t i = 0; i < 5; ++i) {
        char c = s[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != want[i]) return false;
    }
    return true;
}

}  // namespace

struct Unit::Impl {
    explicit Impl(UnitConfig cfg) : model(std::move(cfg)), server([this](const detail::Request& r) { return handle(r); }) {}

    bool authorized(const detail::Request& r) const {
        const UnitConfig& c = model.config();
        if (c.user.empty() && c.password.empty()) return true;
        const std::string* h = r.header("Authorization");
        if (h == nullptr) return false;
        size_t sp = h->find(' ');
        if (sp == std::string::npos || !scheme_is_basic(std::string_view(*h).substr(0, sp))) return false;
        std::string token = h->substr(sp + 1);
        while (!token.empty() && token.front() == ' ') token.erase(0, 1);
        return token == base64(c.user + ":" + c.password);
    }

    detail::Response handle(const detail::Request& r) {
        detail::Response resp;
        auto plain = [&](int status, std::string body) {
            resp.status = status;
            resp.content_type = "text/plain";
            resp.body = std::move(body);
            return resp;
        };
        auto refuse = [&](int status) {
            return plain(status, std::to_string(status) + " " + detail::reason_phrase(status) + "\r\n");
        };
        const bool get = r.method == "GET";
        const std::string& p = r.path;
        if (p == "/values.xml") {
            if (!get) return refuse(405);
            resp.body = model.values_xml();
            return resp;
        }
        const bool log = p == "/spilog.txt" || p == "/spilog.bin" || p == "/spilog.del" || p == "/spilog.delall";
        if (p != "/setup.xml" && !log) return refuse(404);
        if (!(get || (p == "/setup.xml" && r.method == "POST"))) return refuse(405);
        if (!authorized(r)) {
            refuse(401);
            resp.headers.emplace_back("WWW-Authenticate", "Basic realm=\"Kalyx\"");
            return resp;
        }
        if (p == "/setup.xml") {
            if (!get && model.apply_setup(r.body) != 200) return refuse(400);
            resp.body = model.setup_xml();
            return resp;
        }
        if (p == "/spilog.txt") return plain(200, model.serve_txt());
        if (p == "/spilog.bin") {
            resp.content_type = "application/octet-stream";
            resp.body = model.serve_bin();
            return resp;
        }
        size_t removed = p == "/spilog.del" ? model.del() : model.delall();
        return plain(200, "deleted " + std::to_string(removed) + " records\r\n");
    }

    detail::Model model;
    detail::Server server;  // after the model: its threads end before the model goes
};

Unit::Unit(UnitConfig config) : impl_(std::make_unique<Impl>(std::move(config))) {}

Unit::~Unit() { stop(); }

bool Unit::start(int port) {
    if (!impl_->server.start(port)) return false;
    impl_->model.set_http_port(impl_->server.port());
    return true;
}

void Unit::stop() { impl_->server.stop(); }
bool Unit::running() const { return impl_->server.running(); }
int Unit::port() const { return impl_->server.port(); }
std::string Unit::url() const { return "http://127.0.0.1:" + std::to_string(port()); }

void Unit::set_fault(const std::string& path, Fault fault) { impl_->server.set_fault(path, std::move(fault)); }
void Unit::clear_faults() { impl_->server.clear_faults(); }
void Unit::set_accept_delay(int ms) { impl_->server.set_accept_delay(ms); }

std::vector<std::string> Unit::requests() const { return impl_->server.requests(); }
size_t Unit::request_count() const { return impl_->server.request_count(); }
size_t Unit::connection_count() const { return impl_->server.connection_count(); }
bool Unit::wait_for_requests(size_t n, int timeout_ms) const { return impl_->server.wait_for_requests(n, timeout_ms); }
void Unit::clear_requests() { impl_->server.clear_requests(); }

int64_t Unit::now() const { return impl_->model.now(); }
void Unit::advance(int64_t seconds) { impl_->model.advance(seconds); }

std::string Unit::values_xml() { return impl_->model.values_xml(); }
std::string Unit::setup_xml() { return impl_->model.setup_xml(); }
int Unit::apply_setup(const std::string& document) { return impl_->model.apply_setup(document); }

Family Unit::family() const { return impl_->model.family(); }
std::string Unit::field(const std::string& path, int entry) const { return impl_->model.field(path, entry); }
bool Unit::set_field(const std::string& path, int entry, const std::string& text) {
    return impl_->model.set_field(path, entry, text);
}
int Unit::count(const std::string& list) const { return impl_->model.count(list); }
int Unit::input_value(int i) const { return std::atoi(field("BinaryInSet_Entry_Value", i).c_str()); }
int Unit::output_value(int k) const { return std::atoi(field("BinaryOutSet_Entry_Value", k).c_str()); }
double Unit::sensor_value(int j) const { return std::strtod(field("SenSet_Entry_Value", j).c_str(), nullptr); }
std::string Unit::sensor_name(int j) const { return field("SenSet_Entry_Name", j); }
double Unit::sensor_min(int j) const { return std::strtod(field("SenSet_Entry_Min", j).c_str(), nullptr); }
double Unit::sensor_max(int j) const { return std::strtod(field("SenSet_Entry_Max", j).c_str(), nullptr); }
std::vector<TrapDest> Unit::traps() const { return impl_->model.traps(); }

std::vector<LogRecord> Unit::log() const { return impl_->model.log(); }
bool Unit::append_log(const LogRecord& record) { return impl_->model.append_log(record); }
void Unit::clear_log() { impl_->model.clear_log(); }
void Unit::set_log_raw_bin(std::string bytes) { impl_->model.set_raw_bin(std::move(bytes)); }
void Unit::set_log_raw_txt(std::string text) { impl_->model.set_raw_txt(std::move(text)); }
void Unit::clear_log_raw() { impl_->model.clear_raw(); }
size_t Unit::log_served() const { return impl_->model.served(); }

int refused_port() {
    // Bound but never listening: the port is ours for the process, and the kernel
    // refuses every connection to it.
    static std::mutex mu;
    static detail::Fd fd;
    static int port = 0;
    std::lock_guard lock(mu);
    if (port != 0) return port;
    fd.reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (fd.get() < 0) return 0;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        fd.reset();
        return 0;
    }
    port = ntohs(addr.sin_port);
    return port;
}

}  // namespace kalax::sim
