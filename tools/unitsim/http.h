// The simulated unit's HTTP/1.0 server: one request per connection, answer, close.
// Faults are applied here because they are about the transport, not the unit.
#ifndef KALAX_UNITSIM_HTTP_H
#define KALAX_UNITSIM_HTTP_H

#include <atomic>
#include <condition_variable>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "unitsim/unitsim.h"

namespace kalax::sim::detail {

struct Request {
    std::string method, path, version;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
    // Value of the first header of that name (case-insensitive), or null.
    const std::string* header(std::string_view name) const;
};

struct Response {
    int status = 200;
    std::string content_type = "text/xml; charset=utf-8";
    std::string body;
    std::vector<std::pair<std::string, std::string>> headers;
};

using Handler = std::function<Response(const Request&)>;

const char* reason_phrase(int status);

// Owns a file descriptor.
class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() { reset(); }
    Fd(Fd&& o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
    Fd& operator=(Fd&& o) noexcept {
        if (this != &o) {
            reset();
            fd_ = std::exchange(o.fd_, -1);
        }
        return *this;
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    void reset(int fd = -1);

private:
    int fd_ = -1;
};

class Server {
public:
    explicit Server(Handler handler);
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    bool start(int port);
    void stop();
    bool running() const;
    int port() const;

    void set_fault(const std::string& path, Fault fault);
    void clear_faults();
    void set_accept_delay(int ms);

    std::vector<std::string> requests() const;
    size_t request_count() const;
    size_t connection_count() const;
    bool wait_for_requests(size_t n, int timeout_ms) const;
    void clear_requests();

private:
    struct Conn {
        std::thread thread;
        std::atomic<bool> done{false};
    };
    enum class Wait { ready, timeout, stopped };

    void accept_loop();
    void serve(int fd);
    // Waits for `events` on fd (or only for the stop signal when fd < 0).
    Wait wait(int fd, short events, int timeout_ms) const;
    bool send_all(int fd, std::string_view bytes) const;
    // Reads and drops whatever the client sends until it closes or the unit stops.
    void drain_until_closed(int fd) const;
    void record(std::string raw);
    bool take_fault(const std::string& path, Fault& out);
    void reap(bool all);

    Handler handler_;
    Fd listen_fd_;
    Fd wake_read_, wake_write_;
    std::atomic<bool> stopping_{false};
    std::atomic<bool> running_{false};
    std::atomic<int> port_{0};
    std::atomic<int> accept_delay_ms_{0};
    std::thread acceptor_;
    std::list<std::unique_ptr<Conn>> conns_;  // touched by the acceptor, and by stop() after it ended

    mutable std::mutex fault_mu_;
    std::map<std::string, Fault> faults_;

    mutable std::mutex req_mu_;
    mutable std::condition_variable req_cv_;
    std::vector<std::string> requests_;
    std::atomic<size_t> connections_{0};
};

}  // namespace kalax::sim::detail

#endif
