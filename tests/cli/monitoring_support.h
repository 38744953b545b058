// What the monitoring tests share: a child process that keeps running (the
// exporter, a Prometheus server), a plain HTTP GET, shell commands for the
// outside tools, and the samples of an exposition as Prometheus's own client
// library parses them.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

extern char **environ;

namespace kalax::test {

// A program started in the background; stopped with SIGTERM (SIGKILL after
// five seconds) when the object goes.
class Child {
public:
    // Standard output comes through a pipe (read it with line()); standard error
    // goes to `stderr_path`, or is kept with the test's own when empty.
    Child(const std::vector<std::string> &argv, const std::string &stderr_path = {}) {
        int out[2];
        if (pipe(out) != 0) throw std::runtime_error("pipe");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_addclose(&actions, out[0]);
        if (!stderr_path.empty())
            posix_spawn_file_actions_addopen(&actions, 2, stderr_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        std::vector<std::string> copy = argv;
        std::vector<char *> args;
        for (auto &a : copy) args.push_back(a.data());
        args.push_back(nullptr);
        const int rc = posix_spawnp(&pid_, args[0], &actions, nullptr, args.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        if (rc != 0) {
            close(out[0]);
            throw std::runtime_error("cannot start " + argv[0]);
        }
        out_ = out[0];
    }
    ~Child() { stop(); }
    Child(const Child &) = delete;
    Child &operator=(const Child &) = delete;

    // The next line of standard output, or "" when none came within `timeout_ms`.
    std::string line(int timeout_ms = 10000) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        for (;;) {
            const size_t nl = buffer_.find('\n');
            if (nl != std::string::npos) {
                std::string l = buffer_.substr(0, nl);
                buffer_.erase(0, nl + 1);
                return l;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                                    std::chrono::steady_clock::now());
            if (left.count() <= 0 || out_ < 0) return "";
            pollfd p{out_, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
            char chunk[4096];
            const ssize_t n = read(out_, chunk, sizeof chunk);
            if (n <= 0) return "";
            buffer_.append(chunk, static_cast<size_t>(n));
        }
    }

    // SIGTERM, then the exit status (-1 when it had to be killed or did not exit normally).
    int stop() {
        if (pid_ <= 0) return status_;
        kill(pid_, SIGTERM);
        int status = 0;
        for (int i = 0; i < 500; ++i) {
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            if (i == 499) {
                kill(pid_, SIGKILL);
                waitpid(pid_, &status, 0);
                status_ = -1;
            }
        }
        pid_ = -1;
        if (out_ >= 0) close(out_);
        out_ = -1;
        return status_;
    }

private:
    pid_t pid_ = -1;
    int out_ = -1;
    int status_ = -1;
    std::string buffer_;
};

struct HttpReply {
    int status = 0;  // 0: no reply
    std::string head, body;
};

// GET http://127.0.0.1:port/target with HTTP/1.0; gives up after `timeout_ms`.
inline HttpReply http_get(int port, const std::string &target, int timeout_ms = 10000) {
    HttpReply reply;
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return reply;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string raw;
    if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0) {
        const std::string request = "GET " + target + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
        if (send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())) {
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
            for (;;) {
                const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    deadline - std::chrono::steady_clock::now());
                pollfd p{fd, POLLIN, 0};
                if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) {
                    raw.clear();  // no whole reply in time
                    break;
                }
                char chunk[16384];
                const ssize_t n = recv(fd, chunk, sizeof chunk, 0);
                if (n <= 0) break;
                raw.append(chunk, static_cast<size_t>(n));
            }
        }
    }
    close(fd);
    const size_t end = raw.find("\r\n\r\n");
    if (raw.size() < 12 || end == std::string::npos) return reply;
    reply.status = std::atoi(raw.substr(9, 3).c_str());
    reply.head = raw.substr(0, end);
    reply.body = raw.substr(end + 4);
    return reply;
}

struct ShellRun {
    int status = -1;
    std::string output;  // standard output and standard error
};

inline ShellRun shell(const std::string &command) {
    ShellRun r;
    FILE *p = popen((command + " 2>&1").c_str(), "r");
    if (p == nullptr) return r;
    char chunk[4096];
    size_t n = 0;
    while ((n = fread(chunk, 1, sizeof chunk, p)) > 0) r.output.append(chunk, n);
    const int status = pclose(p);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

// Whether a program is on the PATH.
inline bool have_program(const std::string &name) {
    return shell("command -v " + name + " >/dev/null").status == 0;
}

// The Python that carries Debian's python3-prometheus-client: the system's own,
// also when another python3 comes first on the PATH.
inline std::string system_python() {
    return std::filesystem::exists("/usr/bin/python3") ? "/usr/bin/python3" : "python3";
}

// A loopback port that was free a moment ago.
inline int free_port() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    int port = 0;
    if (bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) == 0)
        port = ntohs(a.sin_port);
    close(fd);
    return port;
}

inline void write_text(const std::filesystem::path &path, const std::string &text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
}

// The port in the exporter's first line, "... serving http://127.0.0.1:PORT/metrics".
inline int exporter_port(const std::string &first_line) {
    const size_t at = first_line.rfind("127.0.0.1:");
    return at == std::string::npos ? 0 : std::atoi(first_line.c_str() + at + 10);
}

}  // namespace kalax::test
