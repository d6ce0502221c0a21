#pragma once

// Plain blocking stream sockets for the relay tests, the same calls on both systems. Winsock has
// no socketpair: a pair there is the two ends of a loopback TCP connection, and the library is
// started once for the whole test program (the relay's own references are counted apart).

#include "platform/platform.h"

#include <QByteArray>
#include <QtGlobal>

#ifdef Q_OS_WIN
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace rawsock {

inline bool started()
{
#ifdef Q_OS_WIN
    static const bool ok = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return ok;
#else
    return true;
#endif
}

inline bool isOpen(SOCKET s)
{
#ifdef Q_OS_WIN
    int type = 0;
    int length = sizeof type;
    return ::getsockopt(s, SOL_SOCKET, SO_TYPE, reinterpret_cast<char *>(&type), &length) == 0;
#else
    return ::fcntl(s, F_GETFD) != -1;
#endif
}

inline void close(SOCKET s)
{
#ifdef Q_OS_WIN
    ::closesocket(s);
#else
    ::close(s);
#endif
}

#ifdef Q_OS_WIN
constexpr int ShutdownWriteHow = SD_SEND;
constexpr int ShutdownBothHow = SD_BOTH;
#else
constexpr int ShutdownWriteHow = SHUT_WR;
constexpr int ShutdownBothHow = SHUT_RDWR;
#endif

inline void shutdownWrite(SOCKET s)
{
    ::shutdown(s, ShutdownWriteHow);
}

inline void shutdownBoth(SOCKET s)
{
    ::shutdown(s, ShutdownBothHow);
}

// One send or recv call; the byte count, 0 at the end of the stream, negative on an error.
// A send to a closed peer fails instead of raising SIGPIPE.
inline int send(SOCKET s, const char *data, int length)
{
#ifdef Q_OS_WIN
    return ::send(s, data, length, 0);
#else
    return int(::send(s, data, size_t(length), MSG_NOSIGNAL));
#endif
}

inline int recv(SOCKET s, char *buffer, int length)
{
#ifdef Q_OS_WIN
    return ::recv(s, buffer, length, 0);
#else
    return int(::recv(s, buffer, size_t(length), 0));
#endif
}

// Reads until size bytes have come, the stream ends or a call fails; what came.
inline QByteArray recvExactly(SOCKET s, int size)
{
    QByteArray out;
    char buffer[65536];
    while (out.size() < size) {
        const int n = recv(s, buffer, int(sizeof buffer));
        if (n <= 0)
            break;
        out.append(buffer, n);
    }
    return out;
}

// A TCP listener on address (dotted IPv4) and the given port, 0 for any; port receives the one
// bound. InvalidSocket on failure.
inline SOCKET listenOn(const char *address, quint16 port, int backlog, quint16 *bound = nullptr)
{
    if (!started())
        return platform::InvalidSocket;
#ifdef Q_OS_WIN
    const SOCKET s = ::socket(AF_INET, SOCK_STREAM, 0);
#else
    const SOCKET s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int one = 1;
    ::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
#endif
    if (s == platform::InvalidSocket)
        return s;
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    socklen_t length = sizeof sa;
    if (::inet_pton(AF_INET, address, &sa.sin_addr) != 1 ||
        ::bind(s, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0 || ::listen(s, backlog) != 0 ||
        ::getsockname(s, reinterpret_cast<sockaddr *>(&sa), &length) != 0) {
        close(s);
        return platform::InvalidSocket;
    }
    if (bound)
        *bound = ntohs(sa.sin_port);
    return s;
}

inline SOCKET accept(SOCKET listener)
{
    return ::accept(listener, nullptr, nullptr);
}

// The two ends of a loopback TCP connection.
inline bool tcpPair(SOCKET ends[2])
{
    ends[0] = ends[1] = platform::InvalidSocket;
    quint16 port = 0;
    const SOCKET listener = listenOn("127.0.0.1", 0, 1, &port);
    if (listener == platform::InvalidSocket)
        return false;
    ends[0] = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (ends[0] == platform::InvalidSocket ||
        ::connect(ends[0], reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0) {
        close(ends[0]);
        close(listener);
        return false;
    }
    ends[1] = ::accept(listener, nullptr, nullptr);
    close(listener);
    if (ends[1] == platform::InvalidSocket) {
        close(ends[0]);
        return false;
    }
    return true;
}

// Two connected stream sockets.
inline bool pair(SOCKET ends[2])
{
#ifdef Q_OS_WIN
    return tcpPair(ends);
#else
    ends[0] = ends[1] = platform::InvalidSocket;
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
        return false;
    ends[0] = fds[0];
    ends[1] = fds[1];
    return true;
#endif
}

// Closes s with a reset (SO_LINGER {1, 0}): the peer's next recv fails.
inline void abortiveClose(SOCKET s)
{
    linger reset{};
    reset.l_onoff = 1;
    reset.l_linger = 0;
    ::setsockopt(s, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char *>(&reset), sizeof reset);
    close(s);
}

} // namespace rawsock
