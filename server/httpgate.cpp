#include "httpgate.h"

#include "log.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <string_view>
#include <sys/socket.h>
#include <unistd.h>

using Clock = std::chrono::steady_clock;

namespace {

constexpr size_t ReadChunkBytes = 16 * 1024;
// Connections let in past the global cap while the gate closes the silent ones they evicted.
constexpr int EvictionSlack = 16;

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

bool isTokenChar(char c)
{
    return std::isalnum(static_cast<unsigned char>(c)) ||
           std::strchr("!#$%&'*+-.^_`|~", c) != nullptr;
}

bool isControl(char c)
{
    return (static_cast<unsigned char>(c) < 0x20 && c != '\t') || c == 0x7f;
}

std::string_view trimmed(std::string_view text)
{
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.remove_suffix(1);
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
    size_t checked = 0;   // bytes of the head whose line ends have been checked
    bool started = false; // a byte of the current request has come
    // In the queue of silent connections, oldest first, while no request is under way.
    std::list<Conn *>::iterator silentPlace;
    bool silent = false;
    int served = 0;
    Clock::time_point deadline;
};

// The request as the library reads it: only what the gate holds of it, head and body. Past the
// end of that request the stream reads as ended, so the library never waits on the socket,
// whatever it makes of the request.
class GateStream : public httplib::Stream
{
public:
    GateStream(GatedServer::Conn &conn, int writeTimeoutS)
        : conn(conn), end(std::min(conn.buffer.size(), conn.headEnd + conn.bodyBytes)),
          writeTimeoutS(writeTimeoutS)
    {
    }

    bool is_readable() const override { return pos < end; }
    bool is_writable() const override
    {
        return waitFor(conn.fd, POLLOUT, Clock::now() + std::chrono::seconds(writeTimeoutS));
    }
    ssize_t read(char *ptr, size_t size) override
    {
        const size_t n = std::min(size, end - pos);
        std::memcpy(ptr, conn.buffer.data() + pos, n);
        pos += n;
        return ssize_t(n);
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
    size_t end; // of the request in conn.buffer
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

void stopWhenListening(httplib::Server &server, const std::atomic<bool> &ended)
{
    for (int i = 0; i < 5000 && !server.is_running() && !ended; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    server.stop();
}

void GatedServer::halt()
{
    haltRequested = true;
    stopWhenListening(*this, serveEnded);
}

bool GatedServer::serve()
{
    struct Ended
    {
        std::atomic<bool> &flag;
        ~Ended() { flag = true; }
    } ended{serveEnded};
    if (haltRequested)
        return true;
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
    silentQueue.clear();
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
    bool evicted = false;
    {
        std::lock_guard<std::mutex> lock(mutex);
        int &count = perSource[conn->peer];
        if (count >= limits.connectionsPerSource) {
            refusal = "connections-per-source";
        } else if (stopping) {
            refusal = "connections";
        } else if (connections >= limits.maxConnections) {
            // Full: the connection silent for longest makes room, as a client sends its
            // request at once. Its socket is only shut here; the gate sees it end and lets it go.
            if (connections < limits.maxConnections + EvictionSlack && !silentQueue.empty()) {
                Conn *oldest = silentQueue.front();
                unlistSilent(*oldest);
                ::shutdown(oldest->fd, SHUT_RDWR);
                evicted = true;
            } else {
                refusal = "connections";
            }
        }
        if (!refusal) {
            ++count;
            ++connections;
            listSilent(*conn);
            incoming.push_back(std::move(conn));
        } else if (count == 0) {
            perSource.erase(conn->peer);
        }
    }
    if (evicted)
        noteRefused("connections-evicted");
    if (refusal) {
        ::shutdown(sock, SHUT_RDWR);
        ::close(sock);
        noteRefused(refusal);
        return;
    }
    wake();
}

void GatedServer::listSilent(Conn &conn)
{
    conn.silentPlace = silentQueue.insert(silentQueue.end(), &conn);
    conn.silent = true;
}

void GatedServer::unlistSilent(Conn &conn)
{
    if (conn.silent)
        silentQueue.erase(conn.silentPlace);
    conn.silent = false;
}

void GatedServer::release(ConnPtr conn)
{
    {
        // Out of the silent queue before the descriptor goes, so no eviction touches it after.
        std::lock_guard<std::mutex> lock(mutex);
        unlistSilent(*conn);
        --connections;
        const auto it = perSource.find(conn->peer);
        if (it != perSource.end() && --it->second <= 0)
            perSource.erase(it);
    }
    ::shutdown(conn->fd, SHUT_RDWR);
    ::close(conn->fd);
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
                case Progress::Malformed:
                    refuse(std::move(c), "400 Bad Request", "framing");
                    continue;
                case Progress::BodyTooLarge:
                    refuse(std::move(c), "413 Payload Too Large", "body-size");
                    continue;
                case Progress::Encoded:
                    refuse(std::move(c), "415 Unsupported Media Type", "content-encoding");
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
            std::lock_guard<std::mutex> lock(mutex);
            unlistSilent(c);
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
    // Every line ends in CR LF: a bare LF or CR is where two readers of one head disagree.
    const size_t checkTo = end == std::string::npos ? c.buffer.size() : end + 4;
    for (; c.checked < checkTo; ++c.checked) {
        const char ch = c.buffer[c.checked];
        if (ch == '\n' && (c.checked == 0 || c.buffer[c.checked - 1] != '\r'))
            return Progress::Malformed;
        if (ch == '\r' && c.checked + 1 < c.buffer.size() && c.buffer[c.checked + 1] != '\n')
            return Progress::Malformed;
        if (ch == '\r' && c.checked + 1 == c.buffer.size())
            break; // its LF may come with the next read
    }
    if (end == std::string::npos)
        return c.buffer.size() > limits.maxHeadBytes ? Progress::HeadTooLarge : Progress::Waiting;
    if (end + 4 > limits.maxHeadBytes)
        return Progress::HeadTooLarge;
    c.headEnd = end + 4;
    return readFraming(c);
}

GatedServer::Progress GatedServer::readFraming(Conn &c)
{
    // The head's lines, request line first, each without its CR LF.
    const std::string_view head(c.buffer.data(), c.headEnd - 4);
    bool haveLength = false;
    unsigned long long length = 0;
    for (size_t pos = 0, eol = 0; pos <= head.size(); pos = eol + 2) {
        eol = std::min(head.find("\r\n", pos), head.size());
        const std::string_view line = head.substr(pos, eol - pos);
        const bool requestLine = pos == 0;
        const size_t colon = requestLine ? 0 : line.find(':');
        // A name is a token right before its colon: no space before it (a second reading of
        // the name) and none at the start of the line (folding).
        if (!requestLine && (colon == std::string_view::npos || colon == 0 ||
                             !std::all_of(line.begin(), line.begin() + long(colon), isTokenChar)))
            return Progress::Malformed;
        const std::string_view value = trimmed(line.substr(requestLine ? 0 : colon + 1));
        if (std::any_of(value.begin(), value.end(), isControl))
            return Progress::Malformed;
        if (requestLine)
            continue;
        const std::string name = lowerCase(std::string(line.substr(0, colon)));
        if (name == "transfer-encoding")
            return Progress::Chunked;
        // A compressed body would be expanded by the library, far past the size held here.
        if (name == "content-encoding" && lowerCase(std::string(value)) != "identity")
            return Progress::Encoded;
        if (name != "content-length")
            continue;
        // One length, in plain digits: a second one, a sign, a space or a letter is refused.
        if (haveLength || value.empty() || value.size() > 18 ||
            !std::all_of(value.begin(), value.end(), [](char d) { return d >= '0' && d <= '9'; }))
            return Progress::Malformed;
        haveLength = true;
        length = std::stoull(std::string(value));
    }
    // A body not held is never left to the library: it would read the socket to skip it.
    if (length > limits.maxBodyBytes)
        return Progress::BodyTooLarge;
    c.bodyBytes = size_t(length);
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
        c->checked = 0;
        c->deadline = Clock::now() +
                      std::chrono::seconds(c->started ? limits.requestTimeoutS : limits.keepAliveS);
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (!c->started)
                listSilent(*c);
            incoming.push_back(std::move(c));
        }
        wake();
    }
}

bool GatedServer::handle(Conn &conn)
{
    GateStream stream(conn, limits.writeTimeoutS);
    const bool last = ++conn.served >= limits.keepAliveRequests;
    bool closeConnection = false;
    const bool ok = process_request(stream, last, closeConnection, nullptr);
    // Anything short of the whole request consumed (a refused head, an unread body) ends the
    // connection rather than being parsed as the next request.
    if (!ok || last || closeConnection || stream.pos < conn.headEnd + conn.bodyBytes)
        return false;
    conn.buffer.erase(0, std::min(conn.buffer.size(), stream.pos));
    return true;
}
