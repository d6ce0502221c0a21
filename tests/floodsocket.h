#pragma once

// Plain sockets for floods against the reference service, shared by its flood test and the road
// benchmark: a connection from a loopback source address of its own (so the service's
// per-address limits see many strangers rather than one), and a look at whether the service
// has closed one.

#include <arpa/inet.h>
#include <cerrno>
#include <cstdint>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>
#include <vector>

namespace floodsock {

// A blocking connection from source to address:port; -1 when it cannot be made.
inline int connectFrom(const char *source, const char *address, int port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    sockaddr_in from{};
    from.sin_family = AF_INET;
    ::inet_pton(AF_INET, source, &from.sin_addr);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(std::uint16_t(port));
    ::inet_pton(AF_INET, address, &to.sin_addr);
    if (::bind(fd, reinterpret_cast<sockaddr *>(&from), sizeof from) != 0 ||
        ::connect(fd, reinterpret_cast<sockaddr *>(&to), sizeof to) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Reads away what the service said last (a refusal, say) to see whether it has closed.
inline bool closedByPeer(int fd)
{
    char buffer[4096];
    for (int i = 0; i < 64; ++i) {
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK))
            return true;
        if (n < 0)
            return false;
    }
    return false;
}

inline int countClosed(const std::vector<int> &fds)
{
    int n = 0;
    for (int fd : fds)
        n += closedByPeer(fd);
    return n;
}

// Reads until the stream ends, within timeoutMs: 0 for a clean end, the error (ECONNRESET for
// a reset), or EAGAIN when it is still open.
inline int endingOf(int fd, int timeoutMs)
{
    timeval tv{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    char buffer[4096];
    for (int i = 0; i < 10000; ++i) {
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0)
            return n == 0 ? 0 : errno;
    }
    return EAGAIN;
}

// Closes with a reset, as a side that failed does.
inline void resetClose(int fd)
{
    const linger abortive{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
    ::close(fd);
}

} // namespace floodsock
