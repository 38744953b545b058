// Running the kalax binary as a child process, and a small JSON reader to take
// its --json output apart.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

extern char **environ;

namespace kalax::test {

struct Run {
    int status = -1;  // exit status, or -1 when the child did not exit normally
    std::string out, err;
};

// How a child is started beyond its arguments.
struct Setting {
    std::vector<std::string> env;   // "NAME=VALUE" added to (or replacing in) the environment
    const char *stdin_path = nullptr;  // standard input from this file (else /dev/null)
    bool stderr_tty = false;        // standard error is a terminal (a pseudo-terminal)
};

// Runs KALAX_CLI_PATH with `args`, collecting both streams; kills the child
// after `timeout_s` seconds (status -1 then). With `stdout_path` the child's
// standard output goes to that file instead (and `out` stays empty).
inline Run run_kalax(const std::vector<std::string> &args, int timeout_s = 60, const char *stdout_path = nullptr,
                     const Setting &setting = {}) {
    int out_pipe[2], err_pipe[2];
    if (pipe(out_pipe) != 0 || pipe(err_pipe) != 0) throw std::runtime_error("pipe");
    std::string terminal;
    if (setting.stderr_tty) {
        // The terminal's reading side replaces the pipe's; the child writes to the other.
        const int master = posix_openpt(O_RDWR | O_NOCTTY);
        if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) throw std::runtime_error("pty");
        terminal = ptsname(master);
        close(err_pipe[0]);
        err_pipe[0] = master;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (stdout_path)
        posix_spawn_file_actions_addopen(&actions, 1, stdout_path, O_WRONLY, 0);
    else
        posix_spawn_file_actions_adddup2(&actions, out_pipe[1], 1);
    if (setting.stderr_tty)
        posix_spawn_file_actions_addopen(&actions, 2, terminal.c_str(), O_RDWR | O_NOCTTY, 0);
    else
        posix_spawn_file_actions_adddup2(&actions, err_pipe[1], 2);
    posix_spawn_file_actions_addopen(&actions, 0, setting.stdin_path ? setting.stdin_path : "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addclose(&actions, out_pipe[0]);
    posix_spawn_file_actions_addclose(&actions, err_pipe[0]);
    std::vector<std::string> all{KALAX_CLI_PATH};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (auto &a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> env_text;
    for (char **e = environ; *e != nullptr; ++e) {
        const std::string entry = *e;
        bool replaced = false;
        for (const std::string &add : setting.env)
            replaced |= entry.compare(0, add.find('=') + 1, add, 0, add.find('=') + 1) == 0;
        if (!replaced) env_text.push_back(entry);
    }
    env_text.insert(env_text.end(), setting.env.begin(), setting.env.end());
    std::vector<char *> envp;
    for (auto &e : env_text) envp.push_back(e.data());
    envp.push_back(nullptr);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    close(out_pipe[1]);
    close(err_pipe[1]);
    Run run;
    if (rc != 0) {
        close(out_pipe[0]);
        close(err_pipe[0]);
        throw std::runtime_error("cannot start " + all[0]);
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_s);
    pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
    std::string *sinks[2] = {&run.out, &run.err};
    int open_fds = 2;
    bool killed = false;
    while (open_fds > 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            kill(pid, SIGKILL);
            killed = true;
            break;
        }
        if (poll(fds, 2, static_cast<int>(left.count())) < 0) continue;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            char buffer[4096];
            const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                sinks[i]->append(buffer, static_cast<size_t>(n));
            } else {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open_fds;
            }
        }
    }
    for (auto &fd : fds)
        if (fd.fd >= 0) close(fd.fd);
    int status = 0;
    waitpid(pid, &status, 0);
    run.status = !killed && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

// ---- JSON ------------------------------------------------------------------------
struct Json {
    enum Kind { null, boolean, number, string, array, object } kind = null;
    bool b = false;
    double n = 0;
    std::string s;
    std::vector<Json> items;
    std::map<std::string, Json> members;

    const Json &operator[](const std::string &key) const {
        const auto it = members.find(key);
        if (kind != object || it == members.end()) throw std::runtime_error("no member " + key);
        return it->second;
    }
    const Json &operator[](size_t i) const { return items.at(i); }
};

// Strict reader of one JSON text (RFC 8259); throws std::runtime_error on
// anything malformed, including invalid UTF-8 inside strings.
class JsonReader {
public:
    static Json parse(const std::string &text) {
        JsonReader r(text);
        Json v = r.value();
        r.space();
        if (r.pos_ != text.size()) r.error("trailing text");
        return v;
    }

private:
    explicit JsonReader(const std::string &text) : t_(text) {}

    [[noreturn]] void error(const std::string &what) const {
        throw std::runtime_error("JSON: " + what + " at offset " + std::to_string(pos_));
    }
    void space() {
        while (pos_ < t_.size() && (t_[pos_] == ' ' || t_[pos_] == '\n' || t_[pos_] == '\r' || t_[pos_] == '\t')) ++pos_;
    }
    char peek() const { return pos_ < t_.size() ? t_[pos_] : '\0'; }
    void expect(char c) {
        if (peek() != c) error(std::string("expected ") + c);
        ++pos_;
    }
    bool word(const char *w) {
        const std::string ws(w);
        if (t_.compare(pos_, ws.size(), ws) != 0) return false;
        pos_ += ws.size();
        return true;
    }

    Json value() {
        space();
        Json v;
        const char c = peek();
        if (c == '{') {
            v.kind = Json::object;
            ++pos_;
            space();
            if (peek() == '}') {
                ++pos_;
                return v;
            }
            for (;;) {
                space();
                const std::string key = string();
                space();
                expect(':');
                if (!v.members.emplace(key, value()).second) error("duplicate key " + key);
                space();
                if (peek() == ',') { ++pos_; continue; }
                expect('}');
                return v;
            }
        }
        if (c == '[') {
            v.kind = Json::array;
            ++pos_;
            space();
            if (peek() == ']') {
                ++pos_;
                return v;
            }
            for (;;) {
                v.items.push_back(value());
                space();
                if (peek() == ',') { ++pos_; continue; }
                expect(']');
                return v;
            }
        }
        if (c == '"') {
            v.kind = Json::string;
            v.s = string();
            return v;
        }
        if (word("true") || word("false")) {
            v.kind = Json::boolean;
            v.b = t_[pos_ - 1] == 'e' && t_[pos_ - 2] == 'u';
            return v;
        }
        if (word("null")) return v;
        return number();
    }

    Json number() {
        const size_t start = pos_;
        if (peek() == '-') ++pos_;
        if (peek() == '0') ++pos_;
        else if (isdigit(static_cast<unsigned char>(peek()))) while (isdigit(static_cast<unsigned char>(peek()))) ++pos_;
        else error("bad value");
        if (peek() == '.') {
            ++pos_;
            if (!isdigit(static_cast<unsigned char>(peek()))) error("bad fraction");
            while (isdigit(static_cast<unsigned char>(peek()))) ++pos_;
        }
        if (peek() == 'e' || peek() == 'E') {
            ++pos_;
            if (peek() == '+' || peek() == '-') ++pos_;
            if (!isdigit(static_cast<unsigned char>(peek()))) error("bad exponent");
            while (isdigit(static_cast<unsigned char>(peek()))) ++pos_;
        }
        Json v;
        v.kind = Json::number;
        v.n = std::strtod(t_.substr(start, pos_ - start).c_str(), nullptr);
        return v;
    }

    std::string string() {
        expect('"');
        std::string out;
        for (;;) {
            if (pos_ >= t_.size()) error("open string");
            const auto c = static_cast<unsigned char>(t_[pos_]);
            if (c == '"') {
                ++pos_;
                return out;
            }
            if (c < 0x20) error("control character in string");
            if (c == '\\') {
                ++pos_;
                const char e = peek();
                ++pos_;
                switch (e) {
                case '"': case '\\': case '/': out += e; break;
                case 'b': out += '\b'; break;
                case 'f': out += '\f'; break;
                case 'n': out += '\n'; break;
                case 'r': out += '\r'; break;
                case 't': out += '\t'; break;
                case 'u': {
                    if (pos_ + 4 > t_.size()) error("short \\u");
                    const unsigned long cp = std::strtoul(t_.substr(pos_, 4).c_str(), nullptr, 16);
                    pos_ += 4;
                    if (cp >= 0x80) error("test reader takes \\u escapes of ASCII only");
                    out += static_cast<char>(cp);
                    break;
                }
                default: error("bad escape");
                }
                continue;
            }
            // One UTF-8 sequence, checked.
            size_t n = c < 0x80 ? 1 : (c >= 0xC2 && c <= 0xDF) ? 2 : (c >= 0xE0 && c <= 0xEF) ? 3
                                                             : (c >= 0xF0 && c <= 0xF4) ? 4 : 0;
            if (n == 0 || pos_ + n > t_.size()) error("invalid UTF-8");
            for (size_t i = 1; i < n; ++i)
                if ((static_cast<unsigned char>(t_[pos_ + i]) & 0xC0) != 0x80) error("invalid UTF-8");
            out.append(t_, pos_, n);
            pos_ += n;
        }
    }

    const std::string &t_;
    size_t pos_ = 0;
};

}  // namespace kalax::test
