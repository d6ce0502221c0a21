#include "relayserver.h"

#include "log.h"
#include "util.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <deque>
#include <list>
#include <malloc.h>
#include <set>
#include <sys/resource.h>

using asio::ip::tcp;
using nlohmann::json;
using Clock = std::chrono::steady_clock;

namespace relay {

namespace {

// The client buffers a whole frame; so do we, but never more than this.
constexpr size_t MaxFrameBytes = 1024 * 1024;
// LOGIN and CONN are under 200 bytes: a stranger's first frame gets no more than this.
constexpr size_t MaxFirstFrameBytes = 4 * 1024;
constexpr size_t FrameHeaderBytes = 8;
constexpr size_t ReadChunkBytes = 16 * 1024;
constexpr size_t PipeBufferBytes = 64 * 1024;
// A control connection that does not read what we send is dropped past this much.
constexpr size_t MaxQueuedControlBytes = 4 * 1024 * 1024;
constexpr size_t MaxPendingPerTunnel = 2048;
// Descriptors of the relay's share it never takes: the database, the log, the listeners.
constexpr size_t DescriptorsForOthers = 64;
// After one direction of a pipe has ended, the other gets this long to finish.
constexpr auto HalfClosedLinger = std::chrono::seconds(30);
constexpr auto LimiterBurst = std::chrono::milliseconds(100);
constexpr auto AcceptRetryDelay = std::chrono::milliseconds(200);

std::string frame(const json &body, const std::string &data)
{
    const std::string text = body.dump(-1, ' ', false, json::error_handler_t::replace);
    std::string out;
    out.reserve(FrameHeaderBytes + text.size() + data.size());
    auto put = [&out](uint32_t v) {
        out.push_back(static_cast<char>(v >> 24));
        out.push_back(static_cast<char>(v >> 16));
        out.push_back(static_cast<char>(v >> 8));
        out.push_back(static_cast<char>(v));
    };
    put(static_cast<uint32_t>(text.size()));
    put(static_cast<uint32_t>(data.size()));
    out += text;
    out += data;
    return out;
}

int32_t readInt(const char *p)
{
    const auto *u = reinterpret_cast<const unsigned char *>(p);
    return static_cast<int32_t>(uint32_t(u[0]) << 24 | uint32_t(u[1]) << 16 | uint32_t(u[2]) << 8 |
                                uint32_t(u[3]));
}

std::string peerOf(const tcp::socket &socket)
{
    asio::error_code ec;
    const auto ep = socket.remote_endpoint(ec);
    return ec ? std::string("?") : ep.address().to_string() + ":" + std::to_string(ep.port());
}

std::string stringMember(const json &body, const char *name)
{
    const auto it = body.find(name);
    return it != body.end() && it->is_string() ? it->get<std::string>() : std::string();
}

} // namespace

// Bytes received but not yet cut into frames.
class FrameBuffer
{
public:
    enum class Status { Need, Frame, Bad };

    explicit FrameBuffer(size_t limit = MaxFrameBytes, size_t chunk = ReadChunkBytes)
        : limit(limit), chunk(chunk)
    {
    }

    asio::mutable_buffer prepare()
    {
        if (data.size() - used < chunk)
            data.resize(used + chunk);
        return asio::buffer(data.data() + used, data.size() - used);
    }
    void commit(size_t n) { used += n; }
    void append(const std::string &bytes)
    {
        if (bytes.empty()) // an empty vector's data() may be null
            return;
        if (data.size() - used < bytes.size())
            data.resize(used + bytes.size());
        std::memcpy(data.data() + used, bytes.data(), bytes.size());
        used += bytes.size();
    }

    // Takes the next whole frame off the front. Bad: lengths out of bounds or a JSON part that
    // is not a JSON object; the connection is then dropped.
    Status next(json &body)
    {
        if (used < FrameHeaderBytes)
            return Status::Need;
        const int32_t jsonLen = readInt(data.data());
        const int32_t dataLen = readInt(data.data() + 4);
        if (jsonLen < 0 || dataLen < 0 ||
            FrameHeaderBytes + size_t(jsonLen) + size_t(dataLen) > limit)
            return Status::Bad;
        const size_t total = FrameHeaderBytes + size_t(jsonLen) + size_t(dataLen);
        if (used < total)
            return Status::Need;
        body = json::parse(data.data() + FrameHeaderBytes, data.data() + FrameHeaderBytes + jsonLen,
                           nullptr, false);
        if (body.is_discarded() || !body.is_object())
            return Status::Bad;
        std::memmove(data.data(), data.data() + total, used - total);
        used -= total;
        return Status::Frame;
    }

    std::string takeRest()
    {
        std::string rest(data.data(), used);
        used = 0;
        data.clear();
        data.shrink_to_fit();
        return rest;
    }

private:
    size_t limit;
    size_t chunk;
    std::vector<char> data;
    size_t used = 0;
};

// What the relay holds open, by kind and by source address.
struct Tally
{
    size_t descriptors = 0;
    size_t undecided = 0;
    size_t undecidedPeak = 0;
    std::map<std::string, int> undecidedBySource;
    std::list<std::weak_ptr<Reader>> undecidedQueue; // oldest first
    std::map<int64_t, int> visitorsByTunnel;
    std::map<std::string, int> visitorsBySource;
};

template <class Key> void release(std::map<Key, int> &counts, const Key &key)
{
    const auto it = counts.find(key);
    if (it != counts.end() && --it->second <= 0)
        counts.erase(it);
}

template <class Key> int countOf(const std::map<Key, int> &counts, const Key &key)
{
    const auto it = counts.find(key);
    return it == counts.end() ? 0 : it->second;
}

// Once a flood of undecided connections has drained, the allocator is asked to give back what
// it kept, so the service returns to its usual size.
void trimAfterFlood(Tally &tally)
{
    constexpr size_t FloodConnections = 256;
    tally.undecidedPeak = std::max(tally.undecidedPeak, tally.undecided + 1);
    if (tally.undecidedPeak < FloodConnections || tally.undecided > tally.undecidedPeak / 16)
        return;
    tally.undecidedPeak = tally.undecided;
#ifdef __GLIBC__
    malloc_trim(0);
#endif
}

// Descriptors held by one object, given back when it goes.
struct Held
{
    Held(std::shared_ptr<Tally> t, size_t n) : tally(std::move(t)), n(n)
    {
        tally->descriptors += n;
    }
    ~Held() { tally->descriptors -= n; }
    Held(const Held &) = delete;
    Held &operator=(const Held &) = delete;
    void add(size_t more)
    {
        n += more;
        tally->descriptors += more;
    }
    std::shared_ptr<Tally> tally;
    size_t n;
};

// One visitor, counted against its tunnel and its address while its connection is open.
struct VisitorTicket
{
    VisitorTicket(std::shared_ptr<Tally> t, int64_t tunnel, std::string source)
        : tally(std::move(t)), tunnel(tunnel), source(std::move(source))
    {
        ++tally->visitorsByTunnel[tunnel];
        ++tally->visitorsBySource[this->source];
    }
    ~VisitorTicket()
    {
        release(tally->visitorsByTunnel, tunnel);
        release(tally->visitorsBySource, source);
    }
    VisitorTicket(const VisitorTicket &) = delete;
    VisitorTicket &operator=(const VisitorTicket &) = delete;
    std::shared_ptr<Tally> tally;
    int64_t tunnel;
    std::string source;
};

// A connection that has not sent its first frame yet. Nothing is buffered for it until it sends.
struct Reader
{
    Reader(tcp::socket s, asio::io_context &io, std::shared_ptr<Tally> t, std::string src)
        : socket(std::move(s)), timer(io), buffer(MaxFirstFrameBytes, MaxFirstFrameBytes),
          held(t, 1), tally(std::move(t)), source(std::move(src))
    {
        ++tally->undecided;
        ++tally->undecidedBySource[source];
    }
    ~Reader() { finish(); }

    // No longer undecided: decided, dropped or timed out.
    void finish()
    {
        if (done)
            return;
        done = true;
        timer.cancel();
        --tally->undecided;
        trimAfterFlood(*tally);
        release(tally->undecidedBySource, source);
        if (placed)
            tally->undecidedQueue.erase(place);
        placed = false;
    }

    tcp::socket socket;
    asio::steady_timer timer;
    FrameBuffer buffer;
    Held held;
    std::shared_ptr<Tally> tally;
    std::string source;
    std::list<std::weak_ptr<Reader>>::iterator place;
    bool placed = false;
    bool done = false;
};

// One tunnel's bandwidth, shared by all its connections: a pacing clock per direction. Each
// chunk books its transmission time; a chunk booked beyond the burst allowance waits.
struct Limiter
{
    double bytesPerSecond = 0; // 0: unlimited
    Clock::time_point booked[2] = {};

    Clock::duration reserve(int direction, size_t bytes)
    {
        if (bytesPerSecond <= 0)
            return Clock::duration::zero();
        const auto now = Clock::now();
        auto &t = booked[direction];
        if (t < now)
            t = now;
        t += std::chrono::duration_cast<Clock::duration>(
            std::chrono::duration<double>(double(bytes) / bytesPerSecond));
        const auto wait = t - now - LimiterBurst;
        return wait > Clock::duration::zero() ? wait : Clock::duration::zero();
    }
};

struct PendingVisitor
{
    PendingVisitor(tcp::socket s, asio::io_context &io, int64_t id,
                   std::unique_ptr<VisitorTicket> ticket)
        : socket(std::move(s)), timer(io), tunnelId(id), ticket(std::move(ticket)),
          held(std::make_unique<Held>(this->ticket->tally, 1))
    {
    }
    tcp::socket socket;
    asio::steady_timer timer;
    int64_t tunnelId;
    std::unique_ptr<VisitorTicket> ticket;
    std::unique_ptr<Held> held;
};

// The control connection of one tunnel (or of a refused sign-in, until its answer is out).
class Control : public std::enable_shared_from_this<Control>
{
public:
    Control(RelayServer &server, tcp::socket s, std::string leftover)
        : server(server), socket(std::move(s)), idleTimer(server.io), closeTimer(server.io),
          held(server.tally, 1)
    {
        peer = peerOf(socket);
        // The frames that arrived right behind LOGIN: parsed once reading starts.
        buffer.append(leftover);
    }

    void start()
    {
        armIdle();
        if (!processFrames())
            return;
        read();
    }

    void send(const json &body, const std::string &data)
    {
        if (closed)
            return;
        std::string bytes = frame(body, data);
        queuedBytes += bytes.size();
        if (queuedBytes > MaxQueuedControlBytes) {
            logx::warn("relay", "control-overrun", {{"tunnel", std::to_string(tunnelId)}});
            close();
            return;
        }
        queue.push_back(std::move(bytes));
        if (!writing)
            writeNext();
    }

    // Sends the frame, then closes once it is out (or after a second at most).
    void sendAndClose(const json &body, const std::string &data)
    {
        send(body, data);
        closing = true;
        if (!writing)
            close();
        closeTimer.expires_after(std::chrono::seconds(1));
        closeTimer.async_wait([self = shared_from_this()](const asio::error_code &ec) {
            if (!ec)
                self->close();
        });
    }

    void close()
    {
        if (closed)
            return;
        closed = true;
        asio::error_code ignored;
        socket.shutdown(tcp::socket::shutdown_both, ignored);
        socket.close(ignored);
        idleTimer.cancel();
        closeTimer.cancel();
        queue.clear();
        if (tunnelId)
            server.controlClosed(this, tunnelId);
    }

    bool isClosed() const { return closed; }
    const std::string &peerName() const { return peer; }

    int64_t tunnelId = 0; // set once signed in

private:
    void armIdle()
    {
        idleTimer.expires_after(std::chrono::milliseconds(server.config.controlIdleMs));
        idleTimer.async_wait([self = shared_from_this()](const asio::error_code &ec) {
            if (ec)
                return;
            logx::info("relay", "control-idle",
                       {{"tunnel", std::to_string(self->tunnelId)}, {"peer", self->peer}});
            self->close();
        });
    }

    void read()
    {
        if (closed)
            return;
        socket.async_read_some(
            buffer.prepare(), [self = shared_from_this()](const asio::error_code &ec, size_t n) {
                if (self->closed)
                    return;
                if (ec) {
                    logx::info("relay", "control-closed",
                               {{"tunnel", std::to_string(self->tunnelId)},
                                {"peer", self->peer},
                                {"reason", ec == asio::error::eof ? "eof" : ec.message()}});
                    self->close();
                    return;
                }
                self->buffer.commit(n);
                self->armIdle();
                if (self->processFrames())
                    self->read();
            });
    }

    // False when the connection was closed on the way.
    bool processFrames()
    {
        json body;
        while (!closed) {
            const auto status = buffer.next(body);
            if (status == FrameBuffer::Status::Need)
                return true;
            if (status == FrameBuffer::Status::Bad) {
                logx::warn("relay", "control-bad-frame",
                           {{"tunnel", std::to_string(tunnelId)}, {"peer", peer}});
                close();
                return false;
            }
            if (stringMember(body, "type") == "HEART")
                send({{"type", "HEART"}}, "heart");
            // Anything else on a control connection is ignored, as the client ignores
            // unknown messages.
        }
        return false;
    }

    void writeNext()
    {
        if (queue.empty() || closed) {
            writing = false;
            if (closing)
                close();
            return;
        }
        writing = true;
        asio::async_write(socket, asio::buffer(queue.front()),
                          [self = shared_from_this()](const asio::error_code &ec, size_t n) {
                              if (self->closed)
                                  return;
                              if (ec) {
                                  self->close();
                                  return;
                              }
                              self->queuedBytes -= n;
                              self->queue.pop_front();
                              self->writeNext();
                          });
    }

    RelayServer &server;
    tcp::socket socket;
    asio::steady_timer idleTimer;
    asio::steady_timer closeTimer;
    Held held;
    FrameBuffer buffer;
    std::deque<std::string> queue;
    size_t queuedBytes = 0;
    bool writing = false;
    bool closing = false;
    bool closed = false;
    std::string peer;
};

struct TunnelState
{
    TunnelState(asio::io_context &io, RelayTunnel t)
        : info(std::move(t)), acceptor(io), retry(io), expiry(io)
    {
    }
    RelayTunnel info;
    std::string token;
    tcp::acceptor acceptor;
    asio::steady_timer retry;
    asio::steady_timer expiry; // the end of the paid time
    std::shared_ptr<Control> control;
    std::set<std::string> pendingUids;
    std::shared_ptr<Limiter> limiter;
};

// A visitor paired with the client's data connection: two pumps, one per direction.
class Pipe : public std::enable_shared_from_this<Pipe>
{
public:
    Pipe(asio::io_context &io, tcp::socket visitor, tcp::socket data,
         std::shared_ptr<Limiter> limiter, int64_t tunnelId, std::unique_ptr<VisitorTicket> ticket,
         std::unique_ptr<Held> held, std::chrono::seconds idleTimeout)
        : limiter(std::move(limiter)), tunnelId(tunnelId), ticket(std::move(ticket)),
          held(std::move(held)), idleTimeout(idleTimeout), linger(io),
          idle(io), pace{asio::steady_timer(io), asio::steady_timer(io)}
    {
        this->held->add(1); // the data connection
        sockets[0] = std::make_unique<tcp::socket>(std::move(visitor));
        sockets[1] = std::make_unique<tcp::socket>(std::move(data));
    }

    // leftover: bytes that came behind the CONN frame; they go to the visitor first.
    void start(std::string leftover)
    {
        lastActive = Clock::now();
        armIdle(idleTimeout);
        pump(Up);
        if (leftover.empty()) {
            pump(Down);
            return;
        }
        const size_t n = std::min(leftover.size(), PipeBufferBytes);
        if (n == leftover.size()) {
            std::memcpy(buffers[Down].data(), leftover.data(), n);
            forward(Down, n);
        } else {
            // More than a buffer behind the frame: send it as it stands, then pump.
            auto held = std::make_shared<std::string>(std::move(leftover));
            asio::async_write(
                *sockets[0], asio::buffer(*held),
                [self = shared_from_this(), held](const asio::error_code &ec, size_t) {
                    if (ec)
                        return self->closeAll();
                    self->pump(Down);
                });
        }
    }

private:
    enum Direction { Up = 0, Down = 1 }; // Up: visitor to client; Down: client to visitor

    tcp::socket &source(int d) { return *sockets[d == Up ? 0 : 1]; }
    tcp::socket &sink(int d) { return *sockets[d == Up ? 1 : 0]; }

    void pump(int d)
    {
        if (closed)
            return;
        source(d).async_read_some(
            asio::buffer(buffers[d]),
            [self = shared_from_this(), d](const asio::error_code &ec, size_t n) {
                if (self->closed)
                    return;
                if (ec)
                    return self->ended(d, ec);
                self->lastActive = Clock::now();
                self->forward(d, n);
            });
    }

    void forward(int d, size_t n)
    {
        const auto wait = limiter ? limiter->reserve(d, n) : Clock::duration::zero();
        if (wait > Clock::duration::zero()) {
            pace[d].expires_after(wait);
            pace[d].async_wait([self = shared_from_this(), d, n](const asio::error_code &ec) {
                if (ec || self->closed)
                    return;
                self->write(d, n);
            });
            return;
        }
        write(d, n);
    }

    void write(int d, size_t n)
    {
        asio::async_write(sink(d), asio::buffer(buffers[d].data(), n),
                          [self = shared_from_this(), d](const asio::error_code &ec, size_t) {
                              if (self->closed)
                                  return;
                              if (ec)
                                  return self->closeAll();
                              self->pump(d);
                          });
    }

    // One side finished sending: pass the end on and give the other direction a while.
    void ended(int d, const asio::error_code &ec)
    {
        if (ec != asio::error::eof)
            return closeAll();
        done[d] = true;
        asio::error_code ignored;
        sink(d).shutdown(tcp::socket::shutdown_send, ignored);
        if (done[0] && done[1])
            return closeAll();
        linger.expires_after(HalfClosedLinger);
        linger.async_wait([self = shared_from_this()](const asio::error_code &e) {
            if (!e)
                self->closeAll();
        });
    }

    // A visitor that neither sends nor receives anything for the idle time goes, so idle
    // connections cannot pile up on the service or on the user's client.
    void armIdle(Clock::duration after)
    {
        idle.expires_after(after);
        idle.async_wait([self = shared_from_this()](const asio::error_code &ec) {
            if (ec || self->closed)
                return;
            const auto quiet = Clock::now() - self->lastActive;
            if (quiet < self->idleTimeout)
                return self->armIdle(self->idleTimeout - quiet);
            logx::debug("relay", "pipe-idle", {{"tunnel", std::to_string(self->tunnelId)}});
            self->closeAll();
        });
    }

    void closeAll()
    {
        if (closed)
            return;
        closed = true;
        asio::error_code ignored;
        for (auto &s : sockets) {
            s->shutdown(tcp::socket::shutdown_both, ignored);
            s->close(ignored);
        }
        ticket.reset();
        held.reset();
        linger.cancel();
        idle.cancel();
        pace[0].cancel();
        pace[1].cancel();
        logx::debug("relay", "pipe-closed", {{"tunnel", std::to_string(tunnelId)}});
    }

    std::shared_ptr<Limiter> limiter;
    int64_t tunnelId;
    std::unique_ptr<VisitorTicket> ticket;
    std::unique_ptr<Held> held;
    std::chrono::seconds idleTimeout;
    Clock::time_point lastActive;
    std::unique_ptr<tcp::socket> sockets[2]; // visitor, data
    std::array<char, PipeBufferBytes> buffers[2];
    asio::steady_timer linger;
    asio::steady_timer idle;
    asio::steady_timer pace[2];
    bool done[2] = {false, false};
    bool closed = false;
};

} // namespace relay

using namespace relay;

RelayServer::RelayServer(asio::io_context &io, const Config &config, Lookup lookup)
    : io(io), config(config), lookup(std::move(lookup)), acceptor(io),
      tally(std::make_shared<Tally>())
{
    // The API takes at most a quarter of the process's descriptors (see ApiServer).
    rlimit limit{};
    const size_t all = getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY
                           ? size_t(limit.rlim_cur)
                           : size_t(1) << 20;
    descriptorLimit = all - all / 4;
}

RelayServer::~RelayServer() = default;

bool RelayServer::start(std::string &error)
{
    asio::error_code ec;
    const tcp::endpoint ep(asio::ip::make_address(config.bindAddress, ec),
                           static_cast<unsigned short>(config.relayPort));
    if (!ec)
        acceptor.open(ep.protocol(), ec);
    if (!ec)
        acceptor.set_option(tcp::acceptor::reuse_address(true), ec);
    if (!ec)
        acceptor.bind(ep, ec);
    if (!ec)
        acceptor.listen(asio::socket_base::max_listen_connections, ec);
    if (ec) {
        error = "cannot listen on " + config.bindAddress + ":" + std::to_string(config.relayPort) +
                ": " + ec.message();
        return false;
    }
    accept();
    return true;
}

void RelayServer::stop()
{
    stopped = true;
    asio::error_code ignored;
    acceptor.close(ignored);
    std::vector<int64_t> ids;
    for (const auto &t : tunnels)
        ids.push_back(t.first);
    for (int64_t id : ids) {
        const auto it = tunnels.find(id);
        if (it == tunnels.end())
            continue;
        auto control = it->second->control;
        closeTunnel(id);
        if (control)
            control->close();
    }
}

void RelayServer::accept()
{
    acceptor.async_accept([this](const asio::error_code &ec, tcp::socket socket) {
        if (stopped || ec == asio::error::operation_aborted)
            return;
        if (ec) {
            // Out of descriptors and the like: try again shortly rather than spin.
            logx::warn("relay", "accept-failed", {{"error", ec.message()}});
            auto timer = std::make_shared<asio::steady_timer>(io, AcceptRetryDelay);
            timer->async_wait([this, timer](const asio::error_code &) {
                if (!stopped)
                    accept();
            });
            return;
        }
        asio::error_code ignored;
        const auto peer = socket.remote_endpoint(ignored);
        const std::string source = ignored ? std::string("?") : peer.address().to_string();
        if (countOf(tally->undecidedBySource, source) >= config.maxUndecidedPerSource) {
            noteRefused("undecided-per-source");
            socket.close(ignored);
            return accept();
        }
        // Past the cap, the connection that has said nothing for longest makes room: a client
        // sends LOGIN or CONN at once, so a flood of silent connections sheds itself and a
        // sign-in always gets in.
        const size_t reserve = size_t(config.descriptorReserve);
        if (tally->undecided >= size_t(config.maxUndecided) ||
            tally->descriptors + reserve / 2 >= descriptorLimit)
            evictOldestUndecided();
        if (tally->descriptors + DescriptorsForOthers >= descriptorLimit) {
            noteRefused("descriptors");
            socket.close(ignored);
            return accept();
        }
        socket.set_option(tcp::no_delay(true), ignored);
        firstFrame(std::move(socket), source);
        accept();
    });
}

bool RelayServer::evictOldestUndecided()
{
    auto &queue = tally->undecidedQueue;
    while (!queue.empty()) {
        const auto reader = queue.front().lock();
        if (!reader) {
            queue.pop_front();
            continue;
        }
        reader->finish(); // leaves the queue
        asio::error_code ignored;
        reader->socket.close(ignored);
        noteRefused("undecided-evicted");
        return true;
    }
    return false;
}

void RelayServer::firstFrame(tcp::socket socket, const std::string &source)
{
    // The first frame says what the connection is: LOGIN (control) or CONN (data).
    auto reader = std::make_shared<Reader>(std::move(socket), io, tally, source);
    tally->undecidedQueue.push_back(reader);
    reader->place = std::prev(tally->undecidedQueue.end());
    reader->placed = true;
    asio::error_code ignored;
    reader->socket.non_blocking(true, ignored);
    reader->timer.expires_after(std::chrono::milliseconds(config.firstFrameMs));
    reader->timer.async_wait([this, reader](const asio::error_code &ec) {
        if (ec || reader->done)
            return;
        reader->finish();
        noteRefused("first-frame-timeout");
        asio::error_code e;
        reader->socket.close(e);
    });
    readFirstFrame(reader);
}

void RelayServer::readFirstFrame(std::shared_ptr<Reader> reader)
{
    // Wait for readiness rather than read into a buffer: a silent connection costs no memory.
    reader->socket.async_wait(tcp::socket::wait_read, [this, reader](const asio::error_code &ec) {
        if (reader->done || stopped)
            return;
        asio::error_code e;
        auto drop = [&](const char *why) {
            reader->finish();
            noteRefused(why);
            logx::debug("relay", "dropped", {{"peer", peerOf(reader->socket)}, {"reason", why}});
            reader->socket.close(e);
        };
        if (ec)
            return drop("first-frame-error");
        const size_t n = reader->socket.read_some(reader->buffer.prepare(), e);
        if (e == asio::error::would_block)
            return readFirstFrame(reader);
        if (e) {
            reader->finish();
            reader->socket.close(e);
            return;
        }
        reader->buffer.commit(n);
        json body;
        const auto status = reader->buffer.next(body);
        if (status == FrameBuffer::Status::Need)
            return readFirstFrame(reader);
        if (status == FrameBuffer::Status::Bad)
            return drop("bad-first-frame");
        const std::string type = stringMember(body, "type");
        if (type != "LOGIN" && type != "CONN")
            return drop("unexpected-first-frame");
        reader->finish();
        std::string rest = reader->buffer.takeRest();
        if (type == "LOGIN") {
            auto control = std::make_shared<Control>(*this, std::move(reader->socket), rest);
            login(control, stringMember(body, "token"));
        } else {
            dataConnection(std::move(reader->socket), std::move(rest), stringMember(body, "uid"));
        }
    });
}

void RelayServer::login(std::shared_ptr<Control> control, const std::string &token)
{
    auto refuse = [&](const std::string &reason, const char *why) {
        logx::info("relay", "login-refused", {{"peer", control->peerName()}, {"reason", why}});
        control->start();
        control->sendAndClose({{"type", "LOGIN"}, {"msg", "LOGINFAIL"}, {"info", reason}}, "");
    };
    const auto found = token.empty() ? std::nullopt : lookup(token);
    if (!found)
        return refuse("隧道令牌无效，请检查令牌是否正确，或前往控制台重新获取", "unknown-token");
    if (found->expired)
        return refuse("该隧道已到期，请续费后再启动", "expired");

    std::shared_ptr<TunnelState> state;
    const auto it = tunnels.find(found->id);
    if (it != tunnels.end()) {
        state = it->second;
        state->info = *found;
    } else {
        state = std::make_shared<TunnelState>(io, *found);
        asio::error_code ec;
        const tcp::endpoint ep(asio::ip::make_address(config.bindAddress, ec),
                               static_cast<unsigned short>(found->serverPort));
        if (!ec)
            state->acceptor.open(ep.protocol(), ec);
        if (!ec)
            state->acceptor.set_option(tcp::acceptor::reuse_address(true), ec);
        if (!ec)
            state->acceptor.bind(ep, ec);
        if (!ec)
            state->acceptor.listen(asio::socket_base::max_listen_connections, ec);
        if (ec) {
            logx::error("relay", "public-port-failed",
                        {{"tunnel", std::to_string(found->id)},
                         {"port", std::to_string(found->serverPort)},
                         {"error", ec.message()}});
            return refuse("公网端口" + std::to_string(found->serverPort) + "无法监听，请联系客服",
                          "port-unavailable");
        }
        tunnels[found->id] = state;
        acceptVisitors(state);
    }
    state->limiter = limiterFor(found->id, found->bdw);
    state->token = token;
    armExpiry(state);

    if (state->control && !state->control->isClosed()) {
        // Signed in elsewhere: the older connection is told and let go.
        auto old = state->control;
        old->tunnelId = 0; // its closing no longer concerns the tunnel
        logx::info("relay", "stop-sent",
                   {{"tunnel", std::to_string(found->id)}, {"peer", old->peerName()}});
        old->sendAndClose({{"type", "MSG"}, {"msg", "STOP"}}, "");
    }
    state->control = control;
    control->tunnelId = found->id;

    const json inner = {{"name", found->name},
                        {"serverIp", config.publicHost},
                        {"domain", found->domain},
                        {"bdw", found->bdw},
                        {"clientPort", found->clientPort},
                        {"serverPort", found->serverPort}};
    control->start();
    control->send({{"type", "LOGIN"},
                   {"msg", "LOGINOK"},
                   {"info", inner.dump(-1, ' ', false, json::error_handler_t::replace)}},
                  "");
    logx::info("relay", "login",
               {{"tunnel", std::to_string(found->id)},
                {"port", std::to_string(found->serverPort)},
                {"peer", control->peerName()}});
}

void RelayServer::controlClosed(Control *control, int64_t tunnelId)
{
    const auto it = tunnels.find(tunnelId);
    if (it == tunnels.end() || it->second->control.get() != control)
        return;
    closeTunnel(tunnelId);
}

void RelayServer::closeTunnel(int64_t tunnelId)
{
    const auto it = tunnels.find(tunnelId);
    if (it == tunnels.end())
        return;
    auto state = it->second;
    tunnels.erase(it);
    asio::error_code ignored;
    state->acceptor.close(ignored);
    state->retry.cancel();
    state->expiry.cancel();
    for (const auto &uid : state->pendingUids) {
        const auto p = pending.find(uid);
        if (p == pending.end())
            continue;
        p->second->timer.cancel();
        p->second->socket.close(ignored);
        pending.erase(p);
    }
    state->pendingUids.clear();
    state->control.reset();
    logx::info(
        "relay", "tunnel-offline",
        {{"tunnel", std::to_string(tunnelId)}, {"port", std::to_string(state->info.serverPort)}});
}

void RelayServer::armExpiry(const std::shared_ptr<TunnelState> &state)
{
    state->expiry.cancel();
    if (state->info.stopTime == 0)
        return;
    // At the end of the paid time the tunnel is looked up again (it may have been renewed);
    // an expired one is told why and signed out.
    const int64_t left = std::max<int64_t>(0, state->info.stopTime - util::nowSeconds());
    state->expiry.expires_after(std::chrono::seconds(left) + std::chrono::milliseconds(100));
    std::weak_ptr<TunnelState> weak = state;
    state->expiry.async_wait([this, weak](const asio::error_code &ec) {
        const auto state = weak.lock();
        if (ec || stopped || !state)
            return;
        const auto now = lookup(state->token);
        if (now && !now->expired) {
            state->info.stopTime = now->stopTime;
            return armExpiry(state);
        }
        const int64_t id = state->info.id;
        logx::info("relay", "tunnel-expired", {{"tunnel", std::to_string(id)}});
        auto control = state->control;
        if (control) {
            control->tunnelId = 0;
            control->sendAndClose({{"type", "LOGIN"},
                                   {"msg", "EXPIRED"},
                                   {"info", "该隧道已到期，已停止运行，请续费后再启动"}},
                                  "");
        }
        closeTunnel(id);
    });
}

void RelayServer::acceptVisitors(std::shared_ptr<TunnelState> state)
{
    state->acceptor.async_accept([this, state](const asio::error_code &ec, tcp::socket socket) {
        if (stopped || !state->acceptor.is_open() || ec == asio::error::operation_aborted)
            return;
        if (ec) {
            logx::warn("relay", "visitor-accept-failed", {{"error", ec.message()}});
            state->retry.expires_after(AcceptRetryDelay);
            state->retry.async_wait([this, state](const asio::error_code &e) {
                if (!e && !stopped && state->acceptor.is_open())
                    acceptVisitors(state);
            });
            return;
        }
        newVisitor(state, std::move(socket));
        acceptVisitors(state);
    });
}

void RelayServer::newVisitor(const std::shared_ptr<TunnelState> &state, tcp::socket socket)
{
    asio::error_code ignored;
    if (!state->control) {
        socket.close(ignored);
        return;
    }
    const int64_t tunnelId = state->info.id;
    const auto peer = socket.remote_endpoint(ignored);
    const std::string source = ignored ? std::string("?") : peer.address().to_string();
    // A visitor and its data connection: refused while that would eat into the reserve.
    const char *refusal = nullptr;
    if (countOf(tally->visitorsByTunnel, tunnelId) >= config.maxVisitorsPerTunnel)
        refusal = "visitors-per-tunnel";
    else if (countOf(tally->visitorsBySource, source) >= config.maxVisitorsPerSource)
        refusal = "visitors-per-source";
    else if (tally->descriptors + 2 + size_t(config.descriptorReserve) > descriptorLimit)
        refusal = "visitor-descriptors";
    else if (state->pendingUids.size() >= MaxPendingPerTunnel)
        refusal = "visitors-pending";
    if (refusal) {
        socket.close(ignored);
        noteRefused(refusal);
        return;
    }
    socket.set_option(tcp::no_delay(true), ignored);
    const std::string uid = util::randomHex(16);
    auto visitor = std::make_shared<PendingVisitor>(
        std::move(socket), io, tunnelId, std::make_unique<VisitorTicket>(tally, tunnelId, source));
    pending[uid] = visitor;
    state->pendingUids.insert(uid);
    visitor->timer.expires_after(std::chrono::milliseconds(config.pairTimeoutMs));
    visitor->timer.async_wait([this, uid, tunnelId](const asio::error_code &ec) {
        if (ec)
            return;
        const auto p = pending.find(uid);
        if (p == pending.end())
            return;
        logx::info("relay", "visitor-timeout", {{"tunnel", std::to_string(tunnelId)}});
        asio::error_code e;
        p->second->socket.close(e);
        pending.erase(p);
        const auto t = tunnels.find(tunnelId);
        if (t != tunnels.end())
            t->second->pendingUids.erase(uid);
    });
    logx::debug("relay", "visitor", {{"tunnel", std::to_string(tunnelId)}, {"uid", uid}});
    state->control->send({{"type", "CONN"}, {"uid", uid}}, "");
}

void RelayServer::dataConnection(tcp::socket socket, std::string leftover, const std::string &uid)
{
    const auto p = pending.find(uid);
    if (uid.empty() || p == pending.end()) {
        logx::info("relay", "data-unknown-uid", {{"peer", peerOf(socket)}});
        asio::error_code ignored;
        socket.close(ignored);
        return;
    }
    auto visitor = p->second;
    pending.erase(p);
    visitor->timer.cancel();
    const auto t = tunnels.find(visitor->tunnelId);
    std::shared_ptr<Limiter> limiter;
    if (t != tunnels.end()) {
        t->second->pendingUids.erase(uid);
        limiter = t->second->limiter;
    } else {
        const auto l = limiters.find(visitor->tunnelId);
        limiter = l != limiters.end() ? l->second.lock() : nullptr;
    }
    logx::debug("relay", "paired", {{"tunnel", std::to_string(visitor->tunnelId)}, {"uid", uid}});
    auto pipe =
        std::make_shared<Pipe>(io, std::move(visitor->socket), std::move(socket), limiter,
                               visitor->tunnelId, std::move(visitor->ticket),
                               std::move(visitor->held), std::chrono::seconds(config.visitorIdleS));
    pipe->start(std::move(leftover));
}

std::shared_ptr<Limiter> RelayServer::limiterFor(int64_t tunnelId, int bdw)
{
    // One limiter per tunnel for as long as any of its connections lives, so a new sign-in
    // does not hand the tunnel a second allowance.
    for (auto it = limiters.begin(); it != limiters.end();) {
        if (it->second.expired())
            it = limiters.erase(it);
        else
            ++it;
    }
    auto limiter = limiters[tunnelId].lock();
    if (!limiter) {
        limiter = std::make_shared<Limiter>();
        limiters[tunnelId] = limiter;
    }
    limiter->bytesPerSecond = bdw > 0 ? bdw * 1000.0 * 1000.0 / 8.0 : 0.0;
    return limiter;
}
