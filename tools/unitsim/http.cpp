#include "unitsim/http.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <optional>

namespace kalax::sim::detail {

namespace {

constexpr size_t kMaxHead = 64 * 1024;
constexpr size_t kMaxBody = 4 * 1024 * 1024;
constexpr int kSilenceMs = 10000;   // a client quiet this long has given up
constexpr int kDrainMs = 2000;      // time left to the client to close after our answer
constexpr size_t kMaxConnections = 256;

bool iequals(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}

std::string trim(std::string_view s) {
    size_t b = 0, e = s.size();
    while (b < e && (s[b] == ' ' || s[b] == '\t' || s[b] == '\r')) ++b;
    while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t' || s[e - 1] == '\r')) --e;
    return std::string(s.substr(b, e - b));
}

// Splits the head into request line and headers; false when the request line is not
// "METHOD PATH VERSION".
bool parse_head(std::string_view head, Request& req) {
    std::vector<std::string_view> lines;
    size_t start = 0;
    while (start < head.size()) {
        size_t nl = head.find('\n', start);
        if (nl == std::string_view::npos) nl = head.size();
        std::string_view line = head.substr(start, nl - start);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (!line.empty()) lines.push_back(line);
        start = nl + 1;
    }
    if (lines.empty()) return false;
    std::string_view rl = lines[0];
    size_t sp1 = rl.find(' ');
    if (sp1 == std::string_view::npos) return false;
    size_t sp2 = rl.find(' ', sp1 + 1);
    if (sp2 == std::string_view::npos) return false;
    req.method = std::string(rl.substr(0, sp1));
    std::string_view target = rl.substr(sp1 + 1, sp2 - sp1 - 1);
    req.version = trim(rl.substr(sp2 + 1));
    if (req.method.empty() || target.empty() || target[0] != '/' || req.version.rfind("HTTP/", 0) != 0) {
        return false;
    }
    size_t q = target.find('?');
    req.path = std::string(target.substr(0, q));
    for (size_t i = 1; i < lines.size(); ++i) {
        size_t colon = lines[i].find(':');
        if (colon == std::string_view::npos) continue;
        req.headers.emplace_back(trim(lines[i].substr(0, colon)), trim(lines[i].substr(colon + 1)));
    }
    return true;
}

std::string status_line(int status) {
    return "HTTP/1.0 " + std::to_string(status) + " " + reason_phrase(status) + "\r\n";
}

std::string serialize(const Response& r) {
    std::string out = status_line(r.status);
    out += "Server: kalax-unitsim\r\n";
    out += "Content-Type: " + r.content_type + "\r\n";
    out += "Content-Length: " + std::to_string(r.body.size()) + "\r\n";
    for (const auto& [k, v] : r.headers) out += k + ": " + v + "\r\n";
    out += "Connection: close\r\n\r\n";
    out += r.body;
    return out;
}

// Where the body of a response starts: after its first empty line, or at 0
// when it has none.
size_t body_offset(std::string_view bytes) {
    const size_t crlf = bytes.find("\r\n\r\n");
    const size_t lf = bytes.find("\n\n");
    if (crlf != std::string_view::npos && (lf == std::string_view::npos || crlf < lf)) return crlf + 4;
    return lf != std::string_view::npos ? lf + 2 : 0;
}

}  // namespace

const std::string* Request::header(std::string_view name) const {
    for (const auto& [k, v] : headers) {
        if (iequals(k, name)) return &v;
    }
    return nullptr;
}

const char* reason_phrase(int status) {
    switch (status) {
        case 100: return "Continue";
        case 200: return "OK";
        case 201: return "Created";
        case 202: return "Accepted";
        case 204: return "No Content";
        case 301: return "Moved Permanently";
        case 302: return "Found";
        case 304: return "Not Modified";
        case 400: return "Bad Request";
        case 401: return "Unauthorized";
        case 403: return "Forbidden";
        case 404: return "Not Found";
        case 405: return "Method Not Allowed";
        case 408: return "Request Timeout";
        case 411: return "Length Required";
        case 413: return "Request Entity Too Large";
        case 417: return "Expectation Failed";
        case 418: return "I'm a teapot";
        case 500: return "Internal Server Error";
        case 501: return "Not Implemented";
        case 502: return "Bad Gateway";
        case 503: return "Service Unavailable";
        case 504: return "Gateway Timeout";
        case 505: return "HTTP Version Not Supported";
        default: return "Status";
    }
}

void Fd::reset(int fd) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
}

Server::Server(Handler handler) : handler_(std::move(handler)) {}

Server::~Server() { stop(); }

bool Server::start(int port) {
    if (acceptor_.joinable() || port < 0 || port > 65535) return false;
    int pipefd[2];
    if (::pipe2(pipefd, O_CLOEXEC | O_NONBLOCK) != 0) return false;
    wake_read_.reset(pipefd[0]);
    wake_write_.reset(pipefd[1]);

    Fd sock(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (sock.get() < 0) return false;
    int one = 1;
    ::setsockopt(sock.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(sock.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return false;
    if (::listen(sock.get(), 64) != 0) return false;
    socklen_t len = sizeof addr;
    if (::getsockname(sock.get(), reinterpret_cast<sockaddr*>(&addr), &len) != 0) return false;
    port_ = ntohs(addr.sin_port);
    listen_fd_ = std::move(sock);
    stopping_ = false;
    try {
        acceptor_ = std::thread([this] { accept_loop(); });
    } catch (const std::system_error&) {
        listen_fd_.reset();
        return false;
    }
    running_ = true;
    return true;
}

void Server::stop() {
    if (!acceptor_.joinable()) return;
    running_ = false;
    stopping_ = true;
    char byte = 'x';
    // The pipe is never drained: every later wait sees it readable and returns.
    [[maybe_unused]] ssize_t w = ::write(wake_write_.get(), &byte, 1);
    acceptor_.join();
    reap(true);
    listen_fd_.reset();
    wake_read_.reset();
    wake_write_.reset();
}

bool Server::running() const { return running_; }

int Server::port() const { return port_; }

void Server::set_fault(const std::string& path, Fault fault) {
    std::lock_guard lock(fault_mu_);
    faults_[path] = std::move(fault);
}

void Server::clear_faults() {
    std::lock_guard lock(fault_mu_);
    faults_.clear();
}

void Server::set_accept_delay(int ms) { accept_delay_ms_ = ms < 0 ? 0 : ms; }

bool Server::take_fault(const std::string& path, Fault& out) {
    std::lock_guard lock(fault_mu_);
    auto it = faults_.find(path);
    if (it == faults_.end()) it = faults_.find("*");
    if (it == faults_.end()) return false;
    out = it->second;
    if (it->second.remaining > 0 && --it->second.remaining == 0) faults_.erase(it);
    return true;
}

std::vector<std::string> Server::requests() const {
    std::lock_guard lock(req_mu_);
    return requests_;
}

size_t Server::request_count() const {
    std::lock_guard lock(req_mu_);
    return requests_.size();
}

size_t Server::connection_count() const { return connections_; }

bool Server::wait_for_requests(size_t n, int timeout_ms) const {
    std::unique_lock lock(req_mu_);
    return req_cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] { return requests_.size() >= n; });
}

void Server::clear_requests() {
    std::lock_guard lock(req_mu_);
    requests_.clear();
}

void Server::record(std::string raw) {
    {
        std::lock_guard lock(req_mu_);
        requests_.push_back(std::move(raw));
    }
    req_cv_.notify_all();
}

Server::Wait Server::wait(int fd, short events, int timeout_ms) const {
    if (stopping_) return Wait::stopped;
    pollfd p[2];
    p[0] = pollfd{wake_read_.get(), POLLIN, 0};
    nfds_t n = 1;
    if (fd >= 0) {
        p[1] = pollfd{fd, events, 0};
        n = 2;
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        int left = timeout_ms;
        if (timeout_ms >= 0) {
            auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            left = ms.count() < 0 ? 0 : static_cast<int>(ms.count());
        }
        int r = ::poll(p, n, left);
        if (r < 0 && errno == EINTR) continue;
        if (stopping_ || (r > 0 && p[0].revents != 0)) return Wait::stopped;
        if (r > 0 && n == 2 && p[1].revents != 0) return Wait::ready;
        if (r < 0) return Wait::stopped;
        return Wait::timeout;
    }
}

bool Server::send_all(int fd, std::string_view bytes) const {
    while (!bytes.empty()) {
        ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n > 0) {
            bytes.remove_prefix(static_cast<size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (wait(fd, POLLOUT, kSilenceMs) != Wait::ready) return false;
            continue;
        }
        return false;
    }
    return true;
}

void Server::drain_until_closed(int fd) const {
    // Say nothing; end when the client gives up or the unit stops.
    char chunk[4096];
    for (;;) {
        if (wait(fd, POLLIN, -1) != Wait::ready) return;
        ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
        if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK)) return;
    }
}

void Server::reap(bool all) {
    for (auto it = conns_.begin(); it != conns_.end();) {
        if (all || (*it)->done) {
            if ((*it)->thread.joinable()) (*it)->thread.join();
            it = conns_.erase(it);
        } else {
            ++it;
        }
    }
}

void Server::accept_loop() {
    for (;;) {
        reap(false);
        Wait w = wait(listen_fd_.get(), POLLIN, -1);
        if (w == Wait::stopped) break;
        if (w != Wait::ready) continue;
        int delay = accept_delay_ms_;
        if (delay > 0 && wait(-1, 0, delay) == Wait::stopped) break;
        int c = ::accept4(listen_fd_.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (c < 0) continue;
        ++connections_;
        if (conns_.size() >= kMaxConnections) {
            ::close(c);
            continue;
        }
        auto conn = std::make_unique<Conn>();
        Conn* p = conn.get();
        try {
            p->thread = std::thread([this, c, p] {
                serve(c);
                p->done = true;
            });
        } catch (const std::system_error&) {
            ::close(c);
            continue;
        }
        conns_.push_back(std::move(conn));
    }
}

void Server::serve(int raw_fd) {
    Fd conn(raw_fd);
    const int fd = conn.get();
    std::string buf;
    char chunk[4096];

    // 1: more bytes arrived; 0: the client closed or went quiet; -1: stopping.
    auto read_more = [&]() -> int {
        for (;;) {
            Wait w = wait(fd, POLLIN, kSilenceMs);
            if (w == Wait::stopped) return -1;
            if (w == Wait::timeout) return 0;
            ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
            if (n > 0) {
                buf.append(chunk, static_cast<size_t>(n));
                return 1;
            }
            if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
            return 0;
        }
    };
    auto answer_plain = [&](int status) {
        Response r;
        r.status = status;
        r.content_type = "text/plain";
        r.body = std::to_string(status) + " " + reason_phrase(status) + "\r\n";
        send_all(fd, serialize(r));
        ::shutdown(fd, SHUT_WR);
    };

    // The head ends at the first empty line.
    size_t head_end = std::string::npos;
    for (;;) {
        size_t crlf = buf.find("\r\n\r\n");
        size_t lf = buf.find("\n\n");
        if (crlf != std::string::npos && (lf == std::string::npos || crlf < lf)) head_end = crlf + 4;
        else if (lf != std::string::npos) head_end = lf + 2;
        if (head_end != std::string::npos) break;
        if (buf.size() > kMaxHead) {
            record(buf);
            answer_plain(400);
            return;
        }
        int r = read_more();
        if (r <= 0) {
            if (!buf.empty()) record(buf);
            return;
        }
    }

    Request req;
    if (!parse_head(std::string_view(buf).substr(0, head_end), req)) {
        record(buf);
        answer_plain(400);
        return;
    }
    size_t body_len = 0;
    if (const std::string* cl = req.header("Content-Length")) {
        char* end = nullptr;
        unsigned long long v = std::strtoull(cl->c_str(), &end, 10);
        if (end == cl->c_str() || *end != '\0' || v > kMaxBody) {
            record(buf);
            answer_plain(v > kMaxBody ? 413 : 400);
            return;
        }
        body_len = static_cast<size_t>(v);
    }
    while (buf.size() - head_end < body_len) {
        int r = read_more();
        if (r <= 0) {
            record(buf);
            if (r == 0) answer_plain(400);
            return;
        }
    }
    record(buf);
    req.body = buf.substr(head_end, body_len);

    Fault f;
    const bool faulted = take_fault(req.path, f);
    const bool replaced = faulted && (f.never_answer || f.raw_response || f.close_before_header || f.body ||
                                      f.status >= 400);
    Response resp;
    if (!replaced) resp = handler_(req);
    if (faulted) {
        if (f.status > 0) resp.status = f.status;
        if (f.body) {
            resp.body = *f.body;
        } else if (replaced) {
            resp.content_type = "text/plain";
            resp.body = std::to_string(resp.status) + " " + reason_phrase(resp.status) + "\r\n";
        }
        if (f.oversize > 0) resp.body.resize(f.oversize, ' ');
        if (f.silence_ms > 0 && wait(-1, 0, f.silence_ms) == Wait::stopped) return;
        if (f.never_answer) {
            drain_until_closed(fd);
            return;
        }
    }

    std::string bytes;
    if (faulted && f.raw_response) {
        bytes = *f.raw_response;
    } else if (faulted && f.close_before_header) {
        bytes = status_line(resp.status) + "Server: kalax-unitsim\r\nContent-Type: " + resp.content_type + "\r\n";
    } else {
        bytes = serialize(resp);
    }

    std::optional<size_t> break_off;
    if (faulted)
        for (const std::optional<size_t>& at : {f.stall_after_body, f.reset_after_body, f.close_after_body})
            if (at && !break_off) break_off = at;
    if (break_off) bytes.resize(std::min(bytes.size(), body_offset(bytes) + *break_off));

    auto drip = [&](std::string_view rest) {
        while (!rest.empty()) {
            size_t n = std::min(rest.size(), static_cast<size_t>(f.drip_bytes));
            if (!send_all(fd, rest.substr(0, n))) return false;
            rest.remove_prefix(n);
            if (!rest.empty() && f.drip_delay_ms > 0 && wait(-1, 0, f.drip_delay_ms) == Wait::stopped) return false;
        }
        return true;
    };
    if (!(faulted && f.drip_bytes > 0 ? drip(bytes) : send_all(fd, bytes))) return;

    if (faulted && f.endless) {
        if (f.drip_bytes > 0) {
            const std::string piece(static_cast<size_t>(f.drip_bytes), ' ');
            for (;;) {
                if (f.drip_delay_ms > 0 && wait(-1, 0, f.drip_delay_ms) == Wait::stopped) return;
                if (!send_all(fd, piece)) return;
            }
        }
        const std::string block(64 * 1024, ' ');
        while (send_all(fd, block)) {
        }
        return;
    }
    if (faulted && f.stall_after_body) {
        drain_until_closed(fd);
        return;
    }
    if (faulted && f.reset_after_body) {
        // Give the bytes a moment to leave, then reset instead of closing.
        if (wait(-1, 0, 100) == Wait::stopped) return;
        linger abort{1, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
        return;
    }
    ::shutdown(fd, SHUT_WR);

    // Closing with unread input would reset the connection and could destroy the
    // answer on its way; let the client close first.
    for (;;) {
        if (wait(fd, POLLIN, kDrainMs) != Wait::ready) return;
        ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
        if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK)) return;
    }
}

}  // namespace kalax::sim::detail
