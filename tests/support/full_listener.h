// A loopback port whose connects never complete: a listener that never
// accepts, with its queue filled, so the kernel leaves every further
// connection attempt pending.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <vector>

namespace kalax::test {

class FullListener {
public:
    FullListener() {
        listener_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        if (bind(listener_, reinterpret_cast<sockaddr *>(&addr), len) != 0 || listen(listener_, 0) != 0 ||
            getsockname(listener_, reinterpret_cast<sockaddr *>(&addr), &len) != 0)
            return;
        // Connect until one attempt is left pending.
        for (int i = 0; i < 16; ++i) {
            const int c = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
            fillers_.push_back(c);
            connect(c, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
            pollfd p{c, POLLOUT, 0};
            if (poll(&p, 1, 300) == 0) {
                port_ = ntohs(addr.sin_port);
                return;
            }
        }
        // The queue never filled: port() stays 0.
    }
    ~FullListener() {
        for (int c : fillers_) close(c);
        if (listener_ >= 0) close(listener_);
    }
    FullListener(const FullListener &) = delete;
    FullListener &operator=(const FullListener &) = delete;

    // 0 when no such port could be made.
    int port() const { return port_; }

private:
    int listener_ = -1;
    int port_ = 0;
    std::vector<int> fillers_;
};

}  // namespace kalax::test
