#pragma once

// Blocking loopback sockets, relay frames and timing shared by the benchmarks. They stand in
// for remote machines, so plain POSIX calls on their own threads are enough; nothing here is
// client code.

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "tests/wirecodec.h"

namespace benchutil {

using Clock = std::chrono::steady_clock;

inline double secondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Port 0 takes any free port; the caller asks the socket which one. A benchmark without its
// listener cannot measure anything, so a failure ends the run.
inline int listenOn(const char *address, int port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(uint16_t(port));
    ::inet_pton(AF_INET, address, &sa.sin_addr);
    if (::bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0 || ::listen(fd, 4096) != 0) {
        std::perror("listen");
        std::exit(2);
    }
    return fd;
}

// Without Nagle, so small round trips measure the path rather than the delayed-ack timer.
inline int connectTo(const char *address, int port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(uint16_t(port));
    ::inet_pton(AF_INET, address, &sa.sin_addr);
    if (::connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0) {
        ::close(fd);
        return -1;
    }
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

inline bool sendAll(int fd, const char *data, size_t size)
{
    while (size > 0) {
        const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        data += n;
        size -= size_t(n);
    }
    return true;
}

inline bool recvAll(int fd, char *data, size_t size)
{
    while (size > 0) {
        const ssize_t n = ::recv(fd, data, size, 0);
        if (n <= 0)
            return false;
        data += n;
        size -= size_t(n);
    }
    return true;
}

// Copies until either side ends, then shuts both down so the opposite pump unblocks too.
inline void pump(int from, int to, size_t bufferBytes)
{
    std::vector<char> buffer(bufferBytes);
    for (;;) {
        const ssize_t n = ::recv(from, buffer.data(), buffer.size(), 0);
        if (n <= 0 || !sendAll(to, buffer.data(), size_t(n)))
            break;
    }
    ::shutdown(from, SHUT_RDWR);
    ::shutdown(to, SHUT_RDWR);
}

inline std::string frame(const std::string &json, const std::string &data)
{
    return wire::frame(json, data);
}

// Keeps the JSON part and drops the data. Each part is capped, so a corrupt header cannot ask
// for gigabytes.
inline bool readFrame(int fd, std::string *json)
{
    char header[wire::HeaderBytes];
    if (!recvAll(fd, header, sizeof header))
        return false;
    const uint32_t jl = wire::getLength(header);
    const uint32_t dl = wire::getLength(header + 4);
    if (jl > 1 << 20 || dl > 1 << 20)
        return false;
    std::string body(jl + dl, '\0');
    if (!recvAll(fd, &body[0], body.size()))
        return false;
    *json = body.substr(0, jl);
    return true;
}

struct Percentiles
{
    double p50 = 0, p99 = 0;
};

inline Percentiles percentiles(std::vector<double> samples)
{
    Percentiles result;
    if (samples.empty())
        return result;
    std::sort(samples.begin(), samples.end());
    result.p50 = samples[samples.size() / 2];
    result.p99 = samples[std::min(samples.size() - 1, samples.size() * 99 / 100)];
    return result;
}

} // namespace benchutil
