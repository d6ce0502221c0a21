#include "httpgate.h"

#include "log.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

using Clock = std::chrono::steady_clock;

namespace {

constexpr size_t ReadChunkBytes = 16 * 1024;

// Runs the library's per-connection call at once on its accepting thread: that call only
// hands the connection to the gate.
class InlineQueue : public httplib::TaskQueue
{
public:
    void enqueue(std::function<void()> fn) override { fn(); }
    void shutdown() override {}
};

int msUntil(Clock::time_point t)
{
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(t - Clock::now());
    return int(std::max<long long>(0, std::min<long long>(ms.count(), 1000)));
}

bool waitFor(int fd, short events, Clock::time_point deadline)
{
    for (;;) {
        pollfd p{fd, events, 0};
        const auto ms =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (ms.count() <= 0)
            return false;
        const int rc = ::poll(&p, 1, int(std::min<long long>(ms.count(), 60000)));
        if (rc > 0)
            return true;
        if (rc < 0 && errno != EINTR)
            return false;
    }
}

// The address of an IPv4 or IPv6 socket as text; an IPv4 peer on an IPv6 socket reads as
// plain IPv4, so per-source counts see one address, however it arrived.
void addressText(const sockaddr_storage &sa, std::string &ip, int &port)
{
    char text[INET6_ADDRSTRLEN] = {};
    if (sa.ss_family == AF_INET) {
        const auto &v4 = reinterpret_cast<const sockaddr_in &>(sa);
        ::inet_ntop(AF_INET, &v4.sin_addr, text, sizeof text);
        port = ntohs(v4.sin_port);
    } else if (sa.ss_family == AF_INET6) {
        const auto &v6 = reinterpret_cast<const sockaddr_in6 &>(sa);
        if (IN6_IS_ADDR_V4MAPPED(&v6.sin6_addr))
            ::inet_ntop(AF_INET, &v6.sin6_addr.s6_addr[12], text, sizeof text);
        else
            ::inet_ntop(AF_INET6, &v6.sin6_addr, text, sizeof text);
        port = ntohs(v6.sin6_port);
    }
    ip = text;
}

std::string lowerCase(std::string text)
{
    for (char &c : text)
        c = char(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

} // namespace

struct GatedServer::Conn
{
    int fd = -1;
    std::string peer;
    int peerPort = 0;
    std::string buffer; // received, not yet consumed
    size_t headEnd = 0; // end of the complete head in buffer; 0 while incomplete
    size_t bodyBytes = 0;
    bool closeAfter = false; // the body is not read: the connection ends with the answer
    bool started = false;    // a byte of the current request has come
    int served = 0;
    Clock::time_point deadline;
};

// The request as the library reads it: the head from the gate's buffer, the body from the
// socket within the request's deadline.
class GateStream : public httplib::Stream
{
public:
    GateStream(GatedServer::Conn &conn, Clock::time_point deadline, int writeTimeoutS)
        : conn(conn), deadline(deadline), writeTimeoutS(writeTimeoutS)
    {
    }

    bool is_readable() const override
    {
        return pos < conn.buffer.size() || waitFor(conn.fd, POLLIN, deadline);
    }
    bool is_writable() const override
    {
        return waitFor(conn.fd, POLLOUT, Clock::now() + std::chrono::seconds(writeTimeoutS));
    }
    ssize_t read(char *ptr, size_t size) override
    {
        if (pos < conn.buffer.size()) {
            const size_t n = std::min(size, conn.buffer.size() - pos);
            std::memcpy(ptr, conn.buffer.data() + pos, n);
            pos += n;
            return ssize_t(n);
        }
        for (;;) {
            if (!waitFor(conn.fd, POLLIN, deadline))
                return -1;
            const ssize_t n = ::recv(conn.fd, ptr, size, MSG_DONTWAIT);
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
                continue;
            return n;
        }
    }
    ssize_t write(const char *ptr, size_t size) override
    {
        for (;;) {
            if (!is_writable())
                return -1;
            const ssize_t n = ::send(conn.fd, ptr, size, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR))
                return n;
        }
    }
    void get_remote_ip_and_port(std::string &ip, int &port) const override
    {
        ip = conn.peer;
        port = conn.peerPort;
    }
    void get_local_ip_and_port(std::string &ip, int &port) const override
    {
        sockaddr_storage sa{};
        socklen_t len = sizeof sa;
        ip.clear();
        port = 0;
        if (::getsockname(conn.fd, reinterpret_cast<sockaddr *>(&sa), &len) == 0)
            addressText(sa, ip, port);
    }
    socket_t socket() const override { return conn.fd; }

    GatedServer::Conn &conn;
    Clock::time_point deadline;
    int writeTimeoutS;
    size_t pos = 0; // consumed from conn.buffer
};

GatedServer::GatedServer(const GateLimits &l) : limits(l)
{
    new_task_queue = [] { return new InlineQueue; };
}

GatedServer::~GatedServer()
{
    for (int fd : wakePipe)
        if (fd >= 0)
            ::close(fd);
}

void GatedServer::wake()
{
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(wakePipe[1], &byte, 1);
}

void GatedServer::widenBacklog()
{
    // listen() again on a listening socket only changes its backlog.
    ::listen(svr_sock_, SOMAXCONN);
}

bool GatedServer::serve()
{
    if (wakePipe[0] < 0 && ::pipe2(wakePipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return false;
    stopping = false;
    std::thread gate([this] { gateLoop(); });
    std::vector<std::thread> workers;
    for (int i = 0; i < limits.workers; ++i)
        workers.emplace_back([this] { workerLoop(); });
    const bool ok = listen_after_bind();
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopping = true;
    }
    jobReady.notify_all();
    wake();
    gate.join();
    for (auto &w : workers)
        w.join();
    std::lock_guard<std::mutex> lock(mutex);
    for (auto &c : incoming)
        ::close(c->fd);
    for (auto &c : jobs)
        ::close(c->fd);
    incoming.clear();
    jobs.clear();
    perSource.clear();
    connections = 0;
    return ok;
}

bool GatedServer::process_and_close_socket(socket_t sock)
{
    std::string peer;
    int port = 0;
    sockaddr_storage sa{};
    socklen_t len = sizeof sa;
    if (::getpeername(sock, reinterpret_cast<sockaddr *>(&sa), &len) == 0)
        addressText(sa, peer, port);
    adopt(sock, peer, port);
    return true;
}

void GatedServer::adopt(socket_t sock, const std::string &peer, int peerPort)
{
    auto conn = std::make_unique<Conn>();
    conn->fd = sock;
    conn->peer = peer;
    conn->peerPort = peerPort;
    conn->deadline = Clock::now() + std::chrono::seconds(limits.requestTimeoutS);
    const char *refusal = nullptr;
    {
        std::lock_guard<std::mutex> lock(mutex);
        int &count = perSource[conn->peer];
        if (count >= limits.connectionsPerSource)
            refusal = "connections-per-source";
        else if (connections >= limits.maxConnections || stopping)
            refusal = "connections";
        if (!refusal) {
            ++count;
            ++connections;
            incoming.push_back(std::move(conn));
        } else if (count == 0) {
            perSource.erase(conn->peer);
        }
    }
    if (refusal) {
        ::shutdown(sock, SHUT_RDWR);
        ::close(sock);
        noteRefused(refusal);
        return;
    }
    wake();
}

void GatedServer::release(ConnPtr conn)
{
    ::shutdown(conn->fd, SHUT_RDWR);
    ::close(conn->fd);
    std::lock_guard<std::mutex> lock(mutex);
    --connections;
    const auto it = perSource.find(conn->peer);
    if (it != perSource.end() && --it->second <= 0)
        perSource.erase(it);
}

void GatedServer::refuse(ConnPtr conn, const char *status, const char *kind)
{
    const std::string answer =
        std::string("HTTP/1.1 ") + status + "\r\nConnection: close\r\nContent-Length: 0\r\n\r\n";
    [[maybe_unused]] const ssize_t n =
        ::send(conn->fd, answer.data(), answer.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    noteRefused(kind);
    release(std::move(conn));
}

void GatedServer::gateLoop()
{
    std::vector<ConnPtr> waiting;
    std::vector<pollfd> fds;
    std::vector<char> chunk(ReadChunkBytes);
    for (;;) {
        fds.assign(1, pollfd{wakePipe[0], POLLIN, 0});
        auto next = Clock::now() + std::chrono::seconds(1);
        for (const auto &c : waiting) {
            fds.push_back(pollfd{c->fd, POLLIN, 0});
            next = std::min(next, c->deadline);
        }
        ::poll(fds.data(), fds.size(), msUntil(next) + 1);
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (stopping)
                break;
            for (auto &c : incoming)
                waiting.push_back(std::move(c));
            incoming.clear();
        }
        if (fds[0].revents & POLLIN)
            while (::read(wakePipe[0], chunk.data(), chunk.size()) > 0) {
            }
        const auto now = Clock::now();
        std::vector<ConnPtr> still;
        for (size_t i = 0; i < waiting.size(); ++i) {
            ConnPtr c = std::move(waiting[i]);
            const bool polled = i + 1 < fds.size() && fds[i + 1].fd == c->fd;
            const bool ready = polled && (fds[i + 1].revents & (POLLIN | POLLERR | POLLHUP));
            // A connection back from a worker may already hold its next request.
            if (ready || (!polled && !c->buffer.empty())) {
                switch (readRequest(*c, now, chunk)) {
                case Progress::Waiting:
                    break;
                case Progress::Complete: {
                    std::lock_guard<std::mutex> lock(mutex);
                    jobs.push_back(std::move(c));
                    jobReady.notify_one();
                    continue;
                }
                case Progress::Closed:
                    release(std::move(c));
                    continue;
                case Progress::TooManyLines:
                    refuse(std::move(c), "431 Request Header Fields Too Large", "header-lines");
                    continue;
                case Progress::HeadTooLarge:
                    refuse(std::move(c), "431 Request Header Fields Too Large", "head-size");
                    continue;
                case Progress::Chunked:
                    refuse(std::move(c), "411 Length Required", "chunked");
                    continue;
                }
            }
            if (now >= c->deadline) {
                if (c->started)
                    refuse(std::move(c), "408 Request Timeout", "request-timeout");
                else
                    release(std::move(c));
                continue;
            }
            still.push_back(std::move(c));
        }
        waiting = std::move(still);
    }
    for (auto &c : waiting)
        release(std::move(c));
}

GatedServer::Progress GatedServer::readRequest(Conn &c, Clock::time_point now,
                                               std::vector<char> &chunk)
{
    for (;;) {
        if (!c.headEnd) {
            const Progress head = findHead(c);
            if (head != Progress::Waiting && head != Progress::Complete)
                return head;
        }
        // The whole request, body included, before a worker is involved: a client that sends
        // slowly holds only this thread's attention.
        const size_t want = c.headEnd ? c.headEnd + c.bodyBytes : limits.maxHeadBytes + 1;
        if (c.headEnd && c.buffer.size() >= want)
            return Progress::Complete;
        if (c.buffer.size() >= want)
            return Progress::HeadTooLarge;
        const size_t room = std::min(chunk.size(), want - c.buffer.size());
        const ssize_t n = ::recv(c.fd, chunk.data(), room, MSG_DONTWAIT);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR))
            return Progress::Closed;
        if (n < 0)
            return Progress::Waiting;
        if (!c.started) {
            // Between requests only the keep-alive time counted; now the request's own
            // deadline does.
            c.started = true;
            c.deadline = now + std::chrono::seconds(limits.requestTimeoutS);
        }
        c.buffer.append(chunk.data(), size_t(n));
    }
}

GatedServer::Progress GatedServer::findHead(Conn &c)
{
    const size_t end = c.buffer.find("\r\n\r\n");
    const size_t scanned = end == std::string::npos ? c.buffer.size() : end;
    if (std::count(c.buffer.begin(), c.buffer.begin() + long(scanned), '\n') >
        limits.maxHeaderLines)
        return Progress::TooManyLines;
    if (end == std::string::npos)
        return c.buffer.size() > limits.maxHeadBytes ? Progress::HeadTooLarge : Progress::Waiting;
    if (end + 4 > limits.maxHeadBytes)
        return Progress::HeadTooLarge;
    c.headEnd = end + 4;
    const std::string head = lowerCase(c.buffer.substr(0, c.headEnd));
    if (head.find("\r\ntransfer-encoding:") != std::string::npos)
        return Progress::Chunked;
    const size_t at = head.find("\r\ncontent-length:");
    const unsigned long long length =
        at == std::string::npos ? 0 : std::strtoull(head.c_str() + at + 17, nullptr, 10);
    // Too large: the library refuses it without reading it, and the connection ends.
    c.bodyBytes = length <= limits.maxBodyBytes ? size_t(length) : 0;
    c.closeAfter = length > limits.maxBodyBytes;
    return Progress::Complete;
}

void GatedServer::workerLoop()
{
    for (;;) {
        ConnPtr c;
        {
            std::unique_lock<std::mutex> lock(mutex);
            jobReady.wait(lock, [this] { return stopping || !jobs.empty(); });
            if (jobs.empty())
                return;
            c = std::move(jobs.front());
            jobs.pop_front();
        }
        if (!handle(*c)) {
            release(std::move(c));
            continue;
        }
        c->started = !c->buffer.empty();
        c->headEnd = 0;
        c->bodyBytes = 0;
        c->deadline = Clock::now() +
                      std::chrono::seconds(c->started ? limits.requestTimeoutS : limits.keepAliveS);
        {
            std::lock_guard<std::mutex> lock(mutex);
            incoming.push_back(std::move(c));
        }
        wake();
    }
}

bool GatedServer::handle(Conn &conn)
{
    GateStream stream(conn, conn.deadline, limits.writeTimeoutS);
    const bool last = ++conn.served >= limits.keepAliveRequests || conn.closeAfter;
    bool closeConnection = false;
    const bool ok = process_request(stream, last, closeConnection, nullptr);
    // Anything short of the whole request consumed (a refused head, an unread body) ends the
    // connection rather than being parsed as the next request.
    if (!ok || last || closeConnection || stream.pos < conn.headEnd + conn.bodyBytes)
        return false;
    conn.buffer.erase(0, std::min(conn.buffer.size(), stream.pos));
    return true;
}
