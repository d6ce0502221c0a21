#include "relaypipe.h"

#include "log.h"
#include "relaycontrol.h"
#include "relayframe.h"
#include "relayserver.h"
#include "relayvhost.h"
#include "util.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

using asio::ip::tcp;

namespace relay {

namespace {

// After one direction of a pipe has ended, the other gets this long to finish.
constexpr auto HalfClosedLinger = std::chrono::seconds(30);
// Empty kernel pipes and idle buffers kept for the next burst; the rest are given back.
constexpr size_t SparePipes = 64;
constexpr size_t SpareBuffers = 16;
// The smallest step a bandwidth limit cuts a transfer into.
constexpr size_t SmallestLimitedStep = 4 * 1024;
constexpr int StepsInARow = 16;

// The same connection, owned by another io loop from now on; closed if it cannot be moved.
tcp::socket handOver(tcp::socket socket, asio::io_context &to)
{
    if (&socket.get_executor().context() == &to)
        return socket;
    asio::error_code ec;
    const tcp::endpoint local = socket.local_endpoint(ec);
    tcp::socket moved(to);
    if (ec)
        return moved;
    const auto fd = socket.release(ec);
    if (ec)
        return moved;
    moved.assign(local.protocol(), fd, ec);
    if (ec)
        ::close(fd);
    return moved;
}

} // namespace

FlowPools::~FlowPools()
{
    for (const auto &pipe : sparePipes)
        closePipe(pipe);
}

bool FlowPools::takePipe(KernelPipe &pipe)
{
#ifdef __linux__
    if (!sparePipes.empty()) {
        pipe = sparePipes.back();
        sparePipes.pop_back();
        return true;
    }
    // Visitors and sign-ins come first: a pipe never takes the descriptors they are promised.
    if (tally->descriptors + 2 + DescriptorsForOthers >= descriptorLimit)
        return false;
    int fds[2];
    if (::pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0)
        return false;
    const int capacity = ::fcntl(fds[1], F_SETPIPE_SZ, int(PipeBytes));
    pipe = {fds[0], fds[1],
            capacity > 0 ? size_t(capacity) : size_t(::fcntl(fds[1], F_GETPIPE_SZ))};
    tally->descriptors += 2;
    return true;
#else
    (void)pipe;
    return false;
#endif
}

void FlowPools::givePipe(KernelPipe &pipe, bool empty)
{
    if (pipe.read < 0)
        return;
    if (empty && sparePipes.size() < SparePipes)
        sparePipes.push_back(pipe);
    else
        closePipe(pipe);
    pipe = {};
}

void FlowPools::closePipe(const KernelPipe &pipe)
{
    ::close(pipe.read);
    ::close(pipe.write);
    tally->descriptors -= 2;
}

std::unique_ptr<FlowPools::Buffer> FlowPools::takeBuffer()
{
    if (spareBuffers.empty())
        return std::make_unique<Buffer>();
    auto buffer = std::move(spareBuffers.back());
    spareBuffers.pop_back();
    return buffer;
}

void FlowPools::giveBuffer(std::unique_ptr<Buffer> buffer)
{
    if (buffer && spareBuffers.size() < SpareBuffers)
        spareBuffers.push_back(std::move(buffer));
}

// A visitor paired with the client's data connection: one flow per direction. On Linux the
// bytes go from socket to socket through a kernel pipe (splice), never through user space;
// elsewhere, or where a socket refuses it, through a buffer. Either is borrowed only while
// bytes are in flight: a flow with nothing to carry waits for readiness holding neither.
class Pipe : public std::enable_shared_from_this<Pipe>
{
public:
    // io: the loop that carries the pipe, which owns both sockets; home: the loop that pairs,
    // where the visitor's ticket is given back.
    Pipe(asio::io_context &io, asio::io_context &home, tcp::socket visitor, tcp::socket data,
         std::shared_ptr<Limiter> limiter, int64_t tunnelId, std::unique_ptr<VisitorTicket> ticket,
         std::unique_ptr<Held> held, std::chrono::seconds idleTimeout,
         std::shared_ptr<FlowPools> pools, bool splice, bool pages = false)
        : loop(io), home(home), limiter(std::move(limiter)), tunnelId(tunnelId),
          ticket(std::move(ticket)), held(std::move(held)), idleTimeout(idleTimeout),
          pools(std::move(pools)), pages(pages), linger(io),
          idle(io), pace{asio::steady_timer(io), asio::steady_timer(io)}
    {
        this->held->add(1); // the data connection
        sockets[0] = std::make_unique<tcp::socket>(std::move(visitor));
        sockets[1] = std::make_unique<tcp::socket>(std::move(data));
        asio::error_code ignored;
        for (auto &s : sockets)
            s->non_blocking(true, ignored);
        flows[Up].splice = flows[Down].splice = splice;
    }

    // leftover: bytes that came behind the CONN frame; they go to the visitor first.
    // early: bytes the visitor sent before pairing; they go to the client first.
    void start(std::string leftover, std::string early = {})
    {
        lastActive = Clock::now();
        armIdle(idleTimeout);
        if (early.empty()) {
            readStep(Up);
        } else {
            auto bytes = std::make_shared<std::string>(std::move(early));
            asio::async_write(
                *sockets[1], asio::buffer(*bytes),
                [self = shared_from_this(), bytes](const asio::error_code &ec, size_t) {
                    if (self->closed)
                        return;
                    if (ec)
                        return self->unreachable();
                    self->readStep(Up);
                });
        }
        heard = !leftover.empty();
        if (leftover.empty())
            return readStep(Down);
        auto bytes = std::make_shared<std::string>(std::move(leftover));
        metrics::addBytes(Down, bytes->size());
        afterLimit(Down, bytes->size(), [self = shared_from_this(), bytes] {
            asio::async_write(self->sink(Down), asio::buffer(*bytes),
                              [self, bytes](const asio::error_code &ec, size_t) {
                                  if (self->closed)
                                      return;
                                  if (ec)
                                      return self->closeAll(Cut);
                                  self->readStep(Down);
                              });
        });
    }

    // The service is going: what cannot be finished is cut, visibly.
    void abort() { closeAll(Cut); }

    asio::io_context &loop;

private:
    enum Direction { Up = 0, Down = 1 }; // Up: visitor to client; Down: client to visitor
    // Ended: both sides ended their streams, and so does the pipe. Cut: a side failed, or the
    // pipe gave up on it; both get a reset, so neither takes a cut stream for a whole one.
    enum Ending { Ended, Cut };

    struct Flow
    {
        bool splice = false;
        FlowPools::KernelPipe pipe; // while bytes are in it
        size_t inPipe = 0;
        std::unique_ptr<FlowPools::Buffer> buffer; // while bytes are in it
        int steps = 0; // taken in a row without going back to the io loop
    };

    tcp::socket &source(int d) { return *sockets[d == Up ? 0 : 1]; }
    tcp::socket &sink(int d) { return *sockets[d == Up ? 1 : 0]; }

    // As much as one step may carry: under a bandwidth limit, a quarter of the burst
    // allowance's worth, so the pacing stays even at any rate.
    size_t stepBytes(size_t most) const
    {
        const double rate = limiter ? limiter->bytesPerSecond.load() : 0.0;
        if (rate <= 0)
            return most;
        const auto burst = std::chrono::duration<double>(LimiterBurst).count();
        const size_t allowed = size_t(rate * burst / 4);
        return std::clamp(allowed, std::min(SmallestLimitedStep, most), most);
    }

    // Reads what the source has, or waits until it has something.
    void readStep(int d)
    {
        if (closed)
            return;
        Flow &flow = flows[d];
#ifdef __linux__
        if (flow.splice && pools->takePipe(flow.pipe)) {
            const ssize_t n =
                ::splice(source(d).native_handle(), nullptr, flow.pipe.write, nullptr,
                         stepBytes(flow.pipe.capacity), SPLICE_F_NONBLOCK | SPLICE_F_MOVE);
            const int error = n < 0 ? errno : 0;
            if (n <= 0)
                pools->givePipe(flow.pipe, true);
            if (n > 0) {
                flow.inPipe = size_t(n);
                return received(d, size_t(n), [this, d] { drainPipe(d); });
            }
            if (n == 0)
                return readFailed(d, asio::error::eof);
            if (error == EAGAIN || error == EWOULDBLOCK || error == EINTR)
                return awaitReadable(d);
            if (error != EINVAL && error != ENOSYS && error != EOPNOTSUPP)
                return readFailed(d, asio::error_code(error, asio::error::get_system_category()));
            flow.splice = false; // this socket cannot splice: copy from now on
        }
#endif
        if (!flow.buffer)
            flow.buffer = pools->takeBuffer();
        asio::error_code ec;
        const size_t n =
            source(d).read_some(asio::buffer(*flow.buffer, stepBytes(FlowPools::BufferBytes)), ec);
        if (ec == asio::error::would_block || ec == asio::error::try_again ||
            ec == asio::error::interrupted) {
            pools->giveBuffer(std::move(flow.buffer));
            return awaitReadable(d);
        }
        if (ec) {
            pools->giveBuffer(std::move(flow.buffer));
            return readFailed(d, ec);
        }
        received(d, n, [this, d, n] { writeBuffer(d, n); });
    }

    void awaitReadable(int d)
    {
        flows[d].steps = 0;
        source(d).async_wait(tcp::socket::wait_read,
                             [self = shared_from_this(), d](const asio::error_code &ec) {
                                 if (self->closed)
                                     return;
                                 if (ec)
                                     return self->readFailed(d, ec);
                                 self->readStep(d);
                             });
    }

    void readFailed(int d, const asio::error_code &ec)
    {
        if (d == Down && !heard && pages)
            return unreachable();
        ended(d, ec);
    }

    // Bytes came in: counted, then passed on when the bandwidth limit allows.
    template <class Then> void received(int d, size_t n, Then then)
    {
        heard = heard || d == Down;
        lastActive = Clock::now();
        metrics::addBytes(d, n);
        afterLimit(d, n, [self = shared_from_this(), then] { then(); });
    }

    template <class Then> void afterLimit(int d, size_t n, Then then)
    {
        const auto wait = limiter ? limiter->reserve(d, n) : Clock::duration::zero();
        if (wait <= Clock::duration::zero())
            return then();
        pace[d].expires_after(wait);
        pace[d].async_wait([self = shared_from_this(), then](const asio::error_code &ec) {
            if (ec || self->closed)
                return;
            then();
        });
    }

    void writeFailed(int d)
    {
        if (d == Up && !heard && pages)
            return unreachable();
        closeAll(Cut);
    }

    void writeBuffer(int d, size_t n)
    {
        asio::async_write(sink(d), asio::buffer(flows[d].buffer->data(), n),
                          [self = shared_from_this(), d](const asio::error_code &ec, size_t) {
                              if (self->closed)
                                  return;
                              if (ec)
                                  return self->writeFailed(d);
                              Flow &flow = self->flows[d];
                              self->pools->giveBuffer(std::move(flow.buffer));
                              if (flow.inPipe > 0)
                                  return self->copyOutOfPipe(d);
                              self->pools->givePipe(flow.pipe, true);
                              self->readStep(d);
                          });
    }

    // Empties the flow's pipe into the sink as fast as the sink takes it.
    void drainPipe(int d)
    {
#ifdef __linux__
        Flow &flow = flows[d];
        while (!closed && flow.inPipe > 0) {
            const ssize_t n = ::splice(flow.pipe.read, nullptr, sink(d).native_handle(), nullptr,
                                       flow.inPipe, SPLICE_F_NONBLOCK | SPLICE_F_MOVE);
            if (n > 0) {
                flow.inPipe -= size_t(n);
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                sink(d).async_wait(tcp::socket::wait_write,
                                   [self = shared_from_this(), d](const asio::error_code &ec) {
                                       if (self->closed)
                                           return;
                                       if (ec)
                                           return self->writeFailed(d);
                                       self->drainPipe(d);
                                   });
                return;
            }
            if (n < 0 && errno == EINVAL)
                return copyOutOfPipe(d);
            return writeFailed(d);
        }
        if (closed)
            return;
        pools->givePipe(flow.pipe, true);
        // A busy flow lets the loop's other connections have their turn now and then.
        if (++flow.steps < StepsInARow)
            return readStep(d);
        flow.steps = 0;
        asio::post(sink(d).get_executor(), [self = shared_from_this(), d] { self->readStep(d); });
#else
        (void)d;
#endif
    }

    // The sink refuses a splice: what is in the pipe goes through a buffer, a buffer at a
    // time, and the flow copies from now on.
    void copyOutOfPipe(int d)
    {
        Flow &flow = flows[d];
        flow.splice = false;
        flow.buffer = pools->takeBuffer();
        const size_t want = std::min(flow.inPipe, FlowPools::BufferBytes);
        const ssize_t n = ::read(flow.pipe.read, flow.buffer->data(), want);
        if (n != ssize_t(want))
            return closeAll(Cut);
        flow.inPipe -= want;
        writeBuffer(d, want);
    }

    // One side finished sending: pass the end on and give the other direction a while. A
    // reset or an error is no end: the other side is reset too.
    void ended(int d, const asio::error_code &ec)
    {
        if (ec != asio::error::eof)
            return closeAll(Cut);
        done[d] = true;
        asio::error_code ignored;
        sink(d).shutdown(tcp::socket::shutdown_send, ignored);
        if (done[0] && done[1])
            return closeAll(Ended);
        linger.expires_after(HalfClosedLinger);
        linger.async_wait([self = shared_from_this()](const asio::error_code &e) {
            if (!e)
                self->closeAll(Cut);
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
            self->closeAll(Cut);
        });
    }

    // The client's data connection ended before the site behind it sent a byte: an HTTP
    // visitor is told so; anyone else is let go.
    void unreachable()
    {
        if (closed || !pages)
            return closeAll(Cut);
        asio::error_code ignored;
        sockets[0]->cancel(ignored);
        sockets[0]->non_blocking(false, ignored);
        tcp::socket visitor = std::move(*sockets[0]);
        auto tally = held ? held->tally : nullptr;
        // The visitor is answered below; the data connection has ended already.
        closeAll(Ended);
        logx::debug("relay", "web-unreachable", {{"tunnel", std::to_string(tunnelId)}});
        answerAndClose(std::move(visitor), tally, unreachableAnswer());
    }

    void closeAll(Ending ending)
    {
        if (closed)
            return;
        closed = true;
        asio::error_code ignored;
        for (auto &s : sockets) {
            if (ending == Cut) {
                resetAndClose(*s);
                continue;
            }
            s->shutdown(tcp::socket::shutdown_both, ignored);
            s->close(ignored);
        }
        for (auto &flow : flows) {
            pools->givePipe(flow.pipe, flow.inPipe == 0);
            flow.inPipe = 0;
            pools->giveBuffer(std::move(flow.buffer));
        }
        if (&loop == &home)
            ticket.reset();
        else // the tally's maps belong to the pairing loop
            asio::post(home, [t = std::shared_ptr<VisitorTicket>(std::move(ticket))] {});
        held.reset();
        linger.cancel();
        idle.cancel();
        pace[0].cancel();
        pace[1].cancel();
        logx::debug("relay", "pipe-closed",
                    {{"tunnel", std::to_string(tunnelId)}, {"cut", ending == Cut ? "1" : "0"}});
    }

    asio::io_context &home;
    std::shared_ptr<Limiter> limiter;
    int64_t tunnelId;
    std::unique_ptr<VisitorTicket> ticket;
    std::unique_ptr<Held> held;
    std::chrono::seconds idleTimeout;
    std::shared_ptr<FlowPools> pools;
    bool pages;
    bool heard = false; // a byte has come from the client's side
    Clock::time_point lastActive;
    std::unique_ptr<tcp::socket> sockets[2]; // visitor, data
    Flow flows[2];
    asio::steady_timer linger;
    asio::steady_timer idle;
    asio::steady_timer pace[2];
    bool done[2] = {false, false};
    bool closed = false;
};

} // namespace relay

using namespace relay;

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

void RelayServer::newVisitor(const std::shared_ptr<TunnelState> &state, tcp::socket socket,
                             std::string early, bool pages)
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
    else if (countOf(tally->visitorsByTunnelSource, {tunnelId, source}) >=
             config.visitorsPerTunnelSource())
        refusal = "visitors-per-tunnel-source";
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
    visitor->early = std::move(early);
    visitor->pages = pages;
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
        if (p->second->pages) // the client did not reach the site in time
            answerAndClose(std::move(p->second->socket), tally, unreachableAnswer());
        else
            resetAndClose(p->second->socket);
        pending.erase(p);
        const auto t = tunnels.find(tunnelId);
        if (t != tunnels.end())
            t->second->pendingUids.erase(uid);
    });
    logx::debug("relay", "visitor", {{"tunnel", std::to_string(tunnelId)}, {"uid", uid}});
    state->control->send({{"type", "CONN"}, {"uid", uid}}, "");
}

void RelayServer::cutPipes()
{
    for (const auto &weak : pipes) {
        const auto pipe = weak.lock();
        if (pipe && &pipe->loop == &io)
            pipe->abort();
        else if (pipe)
            asio::post(pipe->loop, [pipe] { pipe->abort(); });
    }
    pipes.clear();
    livePipes = 0;
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
    // The pipes take turns over the io loops; both sockets move to the pipe's.
    const size_t turn = nextLoop++ % pools.size();
    asio::io_context &loop = turn == 0 ? io : *loops[turn - 1];
    tcp::socket visitorSocket = handOver(std::move(visitor->socket), loop);
    tcp::socket dataSocket = handOver(std::move(socket), loop);
    if (!visitorSocket.is_open() || !dataSocket.is_open()) {
        resetAndClose(visitorSocket);
        resetAndClose(dataSocket);
        return;
    }
    auto pipe = std::make_shared<Pipe>(
        loop, io, std::move(visitorSocket), std::move(dataSocket), limiter, visitor->tunnelId,
        std::move(visitor->ticket), std::move(visitor->held),
        std::chrono::seconds(config.visitorIdleS), pools[turn], !config.relayCopy, visitor->pages);
    if (&loop == &io) {
        pipe->start(std::move(leftover), std::move(visitor->early));
    } else {
        asio::post(loop, [pipe, leftover = std::move(leftover),
                          early = std::move(visitor->early)]() mutable {
            pipe->start(std::move(leftover), std::move(early));
        });
    }
    // Kept to be cut if the service stops; the closed ones are dropped now and then.
    if (pipes.size() >= 2 * livePipes + 64) {
        pipes.remove_if([](const std::weak_ptr<Pipe> &p) { return p.expired(); });
        livePipes = pipes.size();
    }
    pipes.push_back(pipe);
}
