// A values pass over a fleet of units, as an application polling many units
// does it: every module's zxxml_get_values queued, then every module's
// zxxml_wait_finish. The units are a loopback server that answers each
// connection with one prebuilt response (values_unit.xml, the document a unit
// serves, about 3.5 KB) from an epoll loop, so that the server costs little
// next to the library.
//
// Reported per module count (1, 10, 98 by default):
//   wall per pass  median, fastest and mean of the timed passes;
//   CPU per request  getrusage of the process minus the server thread's own;
//                    the total is exact, its split into user and system time
//                    comes from clock ticks, so fewer module counts run more
//                    passes (at least --requests requests in all);
//   resident memory  VmRSS with the modules open (after their passes).
// Then one unit's round trip (queue, wait) against an in-process libcurl GET
// plus a bare libxml2 SAX parse of the same response, alternating the two so
// that both see the same load; medians and their ratio. Without libcurl at
// build time that comparison is left out.
//
// System calls per request come from strace, which must not see the server:
// bench/fleet.sh runs the server on its own (--serve), traces the library's
// side against it (--port), and also runs the Python poller for the 98-unit
// comparison. Run it as
//   bench/fleet.sh build
// or this program alone:
//   build/bench_fleet [--modules 1,10,98] [--passes 200] [--requests 20000]
//                     [--warmup 20] [--round-trips 2000] [--port PORT] [--serve]
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <libxml/parser.h>
#if KALAX_BENCH_CURL
#include <curl/curl.h>
#endif

#include "kalax/zxxml.h"

namespace {

using Clock = std::chrono::steady_clock;

std::string read_data(const char *name) {
    std::ifstream in(std::string(KALAX_TEST_DATA) + "/" + name, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string values_response() {
    const std::string doc = read_data("values_unit.xml");
    if (doc.empty()) {
        std::fprintf(stderr, "bench_fleet: cannot read %s/values_unit.xml\n", KALAX_TEST_DATA);
        std::exit(2);
    }
    return "HTTP/1.0 200 OK\r\nContent-Type: text/xml\r\nContent-Length: " + std::to_string(doc.size()) +
           "\r\n\r\n" + doc;
}

struct Cpu {
    double user_us = 0;
    double sys_us = 0;
};

Cpu cpu_of(int who) {
    rusage u{};
    getrusage(who, &u);
    return {u.ru_utime.tv_sec * 1e6 + u.ru_utime.tv_usec, u.ru_stime.tv_sec * 1e6 + u.ru_stime.tv_usec};
}

// ---- the server ---------------------------------------------------------------

// Answers every connection with the same response once it has read the request
// head, then closes. One thread, one epoll set; a connection whose answer does
// not fit the socket at once waits for EPOLLOUT.
class Server {
public:
    explicit Server(std::string response) : response_(std::move(response)) {}
    Server(const Server &) = delete;
    Server &operator=(const Server &) = delete;
    ~Server() { stop(); }

    // Listens on 127.0.0.1 (port 0: any free port); false on failure.
    bool listen_on(int port) {
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (listener_ < 0) return false;
        const int one = 1;
        setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(static_cast<uint16_t>(port));
        if (bind(listener_, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) return false;
        if (::listen(listener_, 4096) != 0) return false;
        socklen_t len = sizeof a;
        getsockname(listener_, reinterpret_cast<sockaddr *>(&a), &len);
        port_ = ntohs(a.sin_port);
        epoll_ = epoll_create1(EPOLL_CLOEXEC);
        wake_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        if (epoll_ < 0 || wake_ < 0) return false;
        add(listener_, EPOLLIN);
        add(wake_, EPOLLIN);
        return true;
    }
    int port() const { return port_; }

    void start() {
        thread_ = std::thread([this] { run(); });
    }
    void stop() {
        if (thread_.joinable()) {
            stopping_.store(true);
            poke();
            thread_.join();
        }
        for (int fd : {listener_, epoll_, wake_})
            if (fd >= 0) ::close(fd);
        listener_ = epoll_ = wake_ = -1;
    }
    // The server thread's own CPU time so far, read by that thread.
    Cpu cpu() {
        if (!thread_.joinable()) return {};
        const uint64_t asked = asked_.fetch_add(1) + 1;
        poke();
        while (answered_.load() < asked) std::this_thread::sleep_for(std::chrono::microseconds(200));
        return {cpu_user_.load(), cpu_sys_.load()};
    }
    // Runs the loop on the calling thread until stop_flag reads true.
    void serve_here(const std::atomic<bool> &stop_flag) {
        while (!stop_flag.load()) once(200);
    }

private:
    struct Conn {
        bool open = false;
        std::string head;
        size_t sent = 0;
        bool answering = false;
    };

    void add(int fd, uint32_t events) {
        epoll_event e{};
        e.events = events;
        e.data.fd = fd;
        epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &e);
    }
    void poke() {
        const uint64_t one = 1;
        if (::write(wake_, &one, sizeof one) < 0) {
        }
    }
    void drop(int fd) {
        conns_[static_cast<size_t>(fd)] = Conn{};
        ::close(fd);  // also leaves the epoll set
    }
    // Sends what is left of the answer; true when the connection is done with.
    bool answer(int fd, Conn &c) {
        while (c.sent < response_.size()) {
            const ssize_t n = ::send(fd, response_.data() + c.sent, response_.size() - c.sent, MSG_NOSIGNAL);
            if (n < 0) {
                if (errno == EAGAIN) {
                    if (!c.answering) {
                        epoll_event e{};
                        e.events = EPOLLOUT;
                        e.data.fd = fd;
                        epoll_ctl(epoll_, EPOLL_CTL_MOD, fd, &e);
                    }
                    c.answering = true;
                    return false;
                }
                return true;
            }
            c.sent += static_cast<size_t>(n);
        }
        return true;
    }
    void accept_all() {
        for (;;) {
            const int fd = accept4(listener_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (fd < 0) return;
            if (static_cast<size_t>(fd) >= conns_.size()) conns_.resize(static_cast<size_t>(fd) + 64);
            conns_[static_cast<size_t>(fd)] = Conn{true, {}, 0, false};
            add(fd, EPOLLIN);
        }
    }
    void readable(int fd) {
        Conn &c = conns_[static_cast<size_t>(fd)];
        if (c.answering) {
            if (answer(fd, c)) drop(fd);
            return;
        }
        char buf[4096];
        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0) {
            if (n < 0 && errno == EAGAIN) return;
            drop(fd);
            return;
        }
        c.head.append(buf, static_cast<size_t>(n));
        if (c.head.find("\r\n\r\n") == std::string::npos) {
            if (c.head.size() > 65536) drop(fd);
            return;
        }
        if (answer(fd, c)) drop(fd);
    }
    void once(int timeout_ms) {
        epoll_event events[256];
        const int n = epoll_wait(epoll_, events, 256, timeout_ms);
        for (int i = 0; i < n; ++i) {
            const int fd = events[i].data.fd;
            if (fd == listener_) {
                accept_all();
            } else if (fd == wake_) {
                uint64_t v;
                if (::read(wake_, &v, sizeof v) < 0) {
                }
                const uint64_t asked = asked_.load();
                if (answered_.load() < asked) {
                    const Cpu c = cpu_of(RUSAGE_THREAD);
                    cpu_user_.store(c.user_us);
                    cpu_sys_.store(c.sys_us);
                    answered_.store(asked);
                }
            } else if (static_cast<size_t>(fd) < conns_.size() && conns_[static_cast<size_t>(fd)].open) {
                readable(fd);
            }
        }
    }
    void run() {
        while (!stopping_.load()) once(-1);
    }

    std::string response_;
    int listener_ = -1, epoll_ = -1, wake_ = -1;
    int port_ = 0;
    std::vector<Conn> conns_;
    std::thread thread_;
    std::atomic<bool> stopping_{false};
    std::atomic<uint64_t> asked_{0}, answered_{0};
    std::atomic<double> cpu_user_{0}, cpu_sys_{0};
};

// ---- measuring ----------------------------------------------------------------

double median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    const size_t h = v.size() / 2;
    return v.size() % 2 ? v[h] : (v[h - 1] + v[h]) / 2;
}

double mean(const std::vector<double> &v) {
    double s = 0;
    for (double x : v) s += x;
    return v.empty() ? 0 : s / static_cast<double>(v.size());
}

long rss_kb() {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
    return -1;
}

[[noreturn]] void die(const char *what, int module) {
    zx_error_struct e{};
    if (module < 0 || zxxml_error(module, &e) < 0 || e.code == 0) zxxml_error(0, &e);
    std::fprintf(stderr, "bench_fleet: %s (module %d): error %d: %s [%s]\n", what, module, e.code, e.text,
                 e.sys_text);
    std::exit(1);
}

std::vector<int> open_units(int count, int port) {
    zxxml_settings_struct settings;
    zxxml_clr_settings_struct(&settings);
    std::vector<int> units;
    for (int i = 0; i < count; ++i) {
        const int m = zxxml_open("127.0.0.1", port, &settings, nullptr);
        if (m < 0) die("open", m);
        units.push_back(m);
    }
    for (int m : units)
        if (zxxml_wait_finish(m, 0, 10) < 0) die("worker start", m);
    return units;
}

// One pass: all queued, then all waited for; every unit must have answered.
void pass(const std::vector<int> &units) {
    for (int m : units)
        if (zxxml_get_values(m) < 0) die("get values", m);
    for (int m : units)
        if (zxxml_wait_finish(m, 2, 20) < 0) die("wait", m);
}

void check_pass(const std::vector<int> &units) {
    for (int m : units) {
        zx_error_struct e{};
        zxxml_values_struct *values = nullptr;
        zxxml_values_count_struct *counts = nullptr;
        if (zxxml_error(m, &e) < 0 || e.code != 0 || zxxml_get_values_cache(m, &values, &counts) < 0 ||
            counts->SenSet == 0)
            die("values not served", m);
    }
}

struct FleetResult {
    int modules = 0;
    double median_ms = 0, fastest_ms = 0, mean_ms = 0;
    double user_us = 0, sys_us = 0;  // per request
    long rss_kb = 0;
};

FleetResult run_fleet(int count, int port, Server *server, int warmup, int passes) {
    std::vector<int> units = open_units(count, port);
    for (int i = 0; i < warmup; ++i) pass(units);
    if (warmup > 0) check_pass(units);
    std::vector<double> walls;
    walls.reserve(static_cast<size_t>(passes));
    const Cpu server_before = server ? server->cpu() : Cpu{};
    const Cpu before = cpu_of(RUSAGE_SELF);
    for (int i = 0; i < passes; ++i) {
        const auto t0 = Clock::now();
        pass(units);
        walls.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
    }
    const Cpu after = cpu_of(RUSAGE_SELF);
    const Cpu server_after = server ? server->cpu() : Cpu{};
    if (warmup + passes > 0) check_pass(units);
    FleetResult r;
    r.modules = count;
    r.median_ms = median(walls);
    r.fastest_ms = walls.empty() ? 0 : *std::min_element(walls.begin(), walls.end());
    r.mean_ms = mean(walls);
    const double requests = static_cast<double>(passes) * count;
    if (requests > 0) {
        r.user_us = (after.user_us - before.user_us - (server_after.user_us - server_before.user_us)) / requests;
        r.sys_us = (after.sys_us - before.sys_us - (server_after.sys_us - server_before.sys_us)) / requests;
    }
    r.rss_kb = rss_kb();
    for (int m : units) zxxml_close(m);
    return r;
}

// ---- one round trip against libcurl + SAX ----------------------------------------

void sax_start(void *, const xmlChar *, const xmlChar **) {}
void sax_end(void *, const xmlChar *) {}
void sax_characters(void *, const xmlChar *, int) {}

#if KALAX_BENCH_CURL
size_t curl_collect(char *data, size_t size, size_t count, void *user) {
    static_cast<std::string *>(user)->append(data, size * count);
    return size * count;
}

// One GET on a fresh connection and a bare SAX parse of what came.
class CurlSax {
public:
    explicit CurlSax(int port) : curl_(curl_easy_init()) {
        url_ = "http://127.0.0.1:" + std::to_string(port) + "/values.xml";
        curl_easy_setopt(curl_, CURLOPT_URL, url_.c_str());
        curl_easy_setopt(curl_, CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_1_0);
        curl_easy_setopt(curl_, CURLOPT_FORBID_REUSE, 1L);
        curl_easy_setopt(curl_, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(curl_, CURLOPT_WRITEFUNCTION, curl_collect);
        curl_easy_setopt(curl_, CURLOPT_WRITEDATA, &body_);
        std::memset(&sax_, 0, sizeof sax_);
        sax_.startElement = sax_start;
        sax_.endElement = sax_end;
        sax_.characters = sax_characters;
    }
    ~CurlSax() { curl_easy_cleanup(curl_); }
    CurlSax(const CurlSax &) = delete;
    CurlSax &operator=(const CurlSax &) = delete;

    bool once() {
        body_.clear();
        if (curl_easy_perform(curl_) != CURLE_OK || body_.empty()) return false;
        return xmlSAXUserParseMemory(&sax_, nullptr, body_.data(), static_cast<int>(body_.size())) == 0;
    }

private:
    CURL *curl_;
    std::string url_;
    std::string body_;
    xmlSAXHandler sax_;
};
#endif

void round_trips(int port, int count) {
    std::vector<int> units = open_units(1, port);
    const std::vector<int> one{units[0]};
    for (int i = 0; i < 50; ++i) pass(one);
    check_pass(one);
    std::vector<double> lib, ref;
#if KALAX_BENCH_CURL
    CurlSax curl(port);
    for (int i = 0; i < 50; ++i)
        if (!curl.once()) {
            std::fprintf(stderr, "bench_fleet: libcurl GET + SAX failed\n");
            std::exit(1);
        }
#endif
    for (int i = 0; i < count; ++i) {
        auto t0 = Clock::now();
        pass(one);
        lib.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
#if KALAX_BENCH_CURL
        t0 = Clock::now();
        if (!curl.once()) std::exit(1);
        ref.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
#endif
    }
    check_pass(one);
    zxxml_close(units[0]);
    std::printf("\none round trip (%d, interleaved), median:\n", count);
    std::printf("  library (get_values + wait_finish)   %8.1f us\n", median(lib));
#if KALAX_BENCH_CURL
    std::printf("  libcurl GET + bare libxml2 SAX       %8.1f us\n", median(ref));
    std::printf("  ratio library / curl+SAX             %8.3f\n", median(lib) / median(ref));
#else
    std::printf("  libcurl GET + bare libxml2 SAX       (not built: libcurl4-openssl-dev missing)\n");
#endif
}

std::atomic<bool> g_stop{false};
void on_signal(int) { g_stop.store(true); }

std::vector<int> parse_list(const char *text) {
    std::vector<int> out;
    std::stringstream s(text);
    std::string item;
    while (std::getline(s, item, ','))
        if (!item.empty()) out.push_back(std::atoi(item.c_str()));
    return out;
}

}  // namespace

int main(int argc, char **argv) {
    std::vector<int> counts{1, 10, 98};
    int passes = 200, requests = 20000, warmup = 20, trips = 2000, port = 0;
    bool serve = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const char *next = i + 1 < argc ? argv[i + 1] : nullptr;
        if (a == "--serve") {
            serve = true;
        } else if (next && a == "--modules") {
            counts = parse_list(argv[++i]);
        } else if (next && a == "--passes") {
            passes = std::atoi(argv[++i]);
        } else if (next && a == "--requests") {
            requests = std::atoi(argv[++i]);
        } else if (next && a == "--warmup") {
            warmup = std::atoi(argv[++i]);
        } else if (next && a == "--round-trips") {
            trips = std::atoi(argv[++i]);
        } else if (next && a == "--port") {
            port = std::atoi(argv[++i]);
        } else {
            std::fprintf(stderr,
                         "usage: bench_fleet [--modules 1,10,98] [--passes N] [--requests N] [--warmup N]\n"
                         "                   [--round-trips N]\n"
                         "                   [--port PORT (a server already running)] [--serve [--port PORT]]\n");
            return 2;
        }
    }
    const std::string response = values_response();
    if (serve) {
        Server server(response);
        if (!server.listen_on(port)) {
            std::perror("bench_fleet: listen");
            return 1;
        }
        signal(SIGTERM, on_signal);
        signal(SIGINT, on_signal);
        std::printf("%d\n", server.port());
        std::fflush(stdout);
        server.serve_here(g_stop);
        return 0;
    }
    Server server(response);
    Server *local = nullptr;
    if (port == 0) {
        if (!server.listen_on(0)) {
            std::perror("bench_fleet: listen");
            return 1;
        }
        server.start();
        port = server.port();
        local = &server;
    }
#if KALAX_BENCH_CURL
    if (trips > 0) curl_global_init(CURL_GLOBAL_DEFAULT);
#endif
    if (zxxml_init() < 0) die("init", 0);
    std::printf("values pass: get_values on every module, then wait_finish on every module\n");
    std::printf("server: %s, response %zu bytes; at least %d passes and %d requests after %d warm-up passes\n",
                local ? "in-process epoll loop" : "external", response.size(), passes, requests, warmup);
    std::printf("%8s %8s %12s %12s %12s %12s %12s %12s %10s\n", "modules", "passes", "pass med ms", "pass min ms",
                "pass mean ms", "us/req cpu", "us/req user", "us/req sys", "RSS MB");
    for (int n : counts) {
        const int p = n > 0 ? std::max(passes, requests / n) : passes;
        const FleetResult r = run_fleet(n, port, local, warmup, p);
        std::printf("%8d %8d %12.3f %12.3f %12.3f %12.1f %12.1f %12.1f %10.1f\n", r.modules, p, r.median_ms,
                    r.fastest_ms, r.mean_ms, r.user_us + r.sys_us, r.user_us, r.sys_us, r.rss_kb / 1024.0);
        std::fflush(stdout);
    }
    if (trips > 0) round_trips(port, trips);
    zxxml_uninit();
#if KALAX_BENCH_CURL
    if (trips > 0) curl_global_cleanup();
#endif
    return 0;
}
