// IPv4 TCP sockets and name resolution on POSIX.
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "sdk/runtime/platform.h"

namespace kalax::platform {

bool socket_layer_init() { return true; }

Socket socket_tcp() {
    const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    return s < 0 ? kNoSocket : s;
}

// socket_tcp's sockets are non-blocking from their creation.
bool socket_set_nonblocking(Socket s) { return s != kNoSocket; }

ConnectStart socket_connect(Socket s, const char *dotted_ipv4, int port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    if (inet_pton(AF_INET, dotted_ipv4, &addr.sin_addr) != 1) {
        errno = EINVAL;
        return ConnectStart::Failed;
    }
    if (::connect(s, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0 || errno == EISCONN)
        return ConnectStart::Connected;
    return errno == EINPROGRESS || errno == EALREADY ? ConnectStart::InProgress : ConnectStart::Failed;
}

Ready socket_wait(Socket s, bool for_write, int ms) {
    pollfd p{s, static_cast<short>(for_write ? POLLOUT : POLLIN), 0};
    const int rc = ::poll(&p, 1, ms);
    if (rc > 0) return Ready::Yes;
    return rc == 0 || errno == EINTR ? Ready::No : Ready::Error;
}

bool socket_connect_result(Socket s) {
    int error = 0;
    socklen_t len = sizeof error;
    if (::getsockopt(s, SOL_SOCKET, SO_ERROR, &error, &len) != 0) return false;  // errno tells why
    if (error == 0) return true;
    errno = error;
    return false;
}

void socket_set_timed_out() { errno = ETIMEDOUT; }

// MSG_DONTWAIT: these never wait, also on a socket someone else made blocking.
long socket_try_send(Socket s, const char *data, size_t length) {
    ssize_t n;
    do {
        n = ::send(s, data, length, MSG_NOSIGNAL | MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    if (n >= 0) return static_cast<long>(n);
    return errno == EAGAIN || errno == EWOULDBLOCK ? kWouldBlock : -1;
}

long socket_try_recv(Socket s, char *data, size_t capacity) {
    ssize_t n;
    do {
        n = ::recv(s, data, capacity, MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    if (n >= 0) return static_cast<long>(n);
    return errno == EAGAIN || errno == EWOULDBLOCK ? kWouldBlock : -1;
}

void socket_close(Socket s) {
    if (s != kNoSocket) ::close(s);
}

bool resolve_ipv4(const char *host, char out[16]) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *result = nullptr;
    if (::getaddrinfo(host, nullptr, &hints, &result) != 0 || !result) return false;
    const auto *addr = reinterpret_cast<const sockaddr_in *>(result->ai_addr);
    const bool ok = inet_ntop(AF_INET, &addr->sin_addr, out, 16) != nullptr;
    ::freeaddrinfo(result);
    return ok;
}

}  // namespace kalax::platform
