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
#include <unistd.h>

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

} // namespace floodsock
