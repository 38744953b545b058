// IPv4 TCP sockets and name resolution through Winsock. A failure leaves the
// Winsock code (WSAECONNREFUSED, WSAETIMEDOUT, ...) in errno, where the error
// records take it from; error_text gives the system's message for it.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <cerrno>
#include <climits>

#include "sdk/runtime/platform.h"

namespace kalax::platform {

namespace {

void keep_socket_error() { errno = WSAGetLastError(); }

SOCKET handle(Socket s) { return static_cast<SOCKET>(s); }

}  // namespace

// Once per process; the process's end releases it.
bool socket_layer_init() {
    static const int started = [] {
        WSADATA data{};
        return WSAStartup(MAKEWORD(2, 2), &data);
    }();
    if (started != 0) {
        errno = started;
        return false;
    }
    return true;
}

Socket socket_tcp() {
    const SOCKET s = ::WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
    if (s == INVALID_SOCKET) {
        keep_socket_error();
        return kNoSocket;
    }
    return static_cast<Socket>(s);
}

bool socket_set_nonblocking(Socket s) {
    u_long on = 1;
    if (::ioctlsocket(handle(s), FIONBIO, &on) == 0) return true;
    keep_socket_error();
    return false;
}

ConnectStart socket_connect(Socket s, const char *dotted_ipv4, int port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<u_short>(port));
    if (::inet_pton(AF_INET, dotted_ipv4, &addr.sin_addr) != 1) {
        errno = WSAEINVAL;
        return ConnectStart::Failed;
    }
    if (::connect(handle(s), reinterpret_cast<const sockaddr *>(&addr), sizeof addr) == 0)
        return ConnectStart::Connected;
    const int err = WSAGetLastError();
    if (err == WSAEISCONN) return ConnectStart::Connected;
    // Asked again while under way, Winsock answers WSAEALREADY (older stacks:
    // WSAEINVAL); the wait and the outcome query then tell how it went.
    if (err == WSAEWOULDBLOCK || err == WSAEALREADY || err == WSAEINVAL) return ConnectStart::InProgress;
    // Asked again after it failed, the answer may be a code of its own
    // (WSAECONNABORTED under Wine): the connect's own error is the socket's.
    int pending = 0;
    int len = sizeof pending;
    if (::getsockopt(handle(s), SOL_SOCKET, SO_ERROR, reinterpret_cast<char *>(&pending), &len) == 0 && pending != 0)
        errno = pending;
    else
        errno = err;
    return ConnectStart::Failed;
}

Ready socket_wait(Socket s, bool for_write, int ms) {
    // A connect that fails shows in the exception set, not as writable.
    fd_set ready;
    fd_set failed;
    FD_ZERO(&ready);
    FD_ZERO(&failed);
    FD_SET(handle(s), &ready);
    FD_SET(handle(s), &failed);
    timeval limit{ms / 1000, (ms % 1000) * 1000};
    const int rc = ::select(0, for_write ? nullptr : &ready, for_write ? &ready : nullptr, &failed,
                            ms < 0 ? nullptr : &limit);
    if (rc > 0) return Ready::Yes;
    if (rc == 0) return Ready::No;
    keep_socket_error();
    return Ready::Error;
}

bool socket_connect_result(Socket s) {
    int error = 0;
    int len = sizeof error;
    if (::getsockopt(handle(s), SOL_SOCKET, SO_ERROR, reinterpret_cast<char *>(&error), &len) != 0) {
        keep_socket_error();
        return false;
    }
    if (error == 0) return true;
    errno = error;
    return false;
}

void socket_set_timed_out() { errno = WSAETIMEDOUT; }

// The sockets are non-blocking (socket_set_nonblocking), so these never wait.
long socket_try_send(Socket s, const char *data, size_t length) {
    const int chunk = length > INT_MAX ? INT_MAX : static_cast<int>(length);
    const int n = ::send(handle(s), data, chunk, 0);
    if (n != SOCKET_ERROR) return n;
    const int err = WSAGetLastError();
    if (err == WSAEWOULDBLOCK) return kWouldBlock;
    errno = err;
    return -1;
}

long socket_try_recv(Socket s, char *data, size_t capacity) {
    const int chunk = capacity > INT_MAX ? INT_MAX : static_cast<int>(capacity);
    const int n = ::recv(handle(s), data, chunk, 0);
    if (n != SOCKET_ERROR) return n;
    const int err = WSAGetLastError();
    if (err == WSAEWOULDBLOCK) return kWouldBlock;
    errno = err;
    return -1;
}

void socket_close(Socket s) {
    if (s != kNoSocket) ::closesocket(handle(s));
}

bool resolve_ipv4(const char *host, char out[16]) {
    if (!socket_layer_init()) return false;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *result = nullptr;
    if (const int rc = ::getaddrinfo(host, nullptr, &hints, &result); rc != 0 || !result) {
        errno = rc != 0 ? rc : WSAHOST_NOT_FOUND;
        return false;
    }
    const auto *addr = reinterpret_cast<const sockaddr_in *>(result->ai_addr);
    const bool ok = ::inet_ntop(AF_INET, &addr->sin_addr, out, 16) != nullptr;
    ::freeaddrinfo(result);
    return ok;
}

}  // namespace kalax::platform
