#include "relaypipe.h"

#include "log.h"
#include "relaycontrol.h"
#include "relayframe.h"
#include "relayserver.h"
#include "relayvhost.h"
#include "util.h"

#include <algorithm>
#include <array>
#include <cstring>

using asio::ip::tcp;

namespace relay {

namespace {

constexpr size_t PipeBufferBytes = 64 * 1024;
// After one direction of a pipe has ended, the other gets this long to finish.
constexpr auto HalfClosedLinger = std::chrono::seconds(30);

} // namespace

// A visitor paired with the client's data connection: two pumps, one per direction.
class Pipe : public std::enable_shared_from_this<Pipe>
{
public:
    Pipe(asio::io_context &io, tcp::socket visitor, tcp::socket data,
         std::shared_ptr<Limiter> limiter, int64_t tunnelId, std::unique_ptr<VisitorTicket> ticket,
         std::unique_ptr<Held> held, std::chrono::seconds idleTimeout, bool pages = false)
        : limiter(std::move(limiter)), tunnelId(tunnelId), ticket(std::move(ticket)),
          held(std::move(held)), idleTimeout(idleTimeout), pages(pages), linger(io),
          idle(io), pace{asio::steady_timer(io), asio::steady_timer(io)}
    {
        this->held->add(1); // the data connection
        sockets[0] = std::make_unique<tcp::socket>(std::move(visitor));
        sockets[1] = std::make_unique<tcp::socket>(std::move(data));
    }

    // leftover: bytes that came behind the CONN frame; they go to the visitor first.
    // early: bytes the visitor sent before pairing; they go to the client first.
    void start(std::string leftover, std::string early = {})
    {
        lastActive = Clock::now();
        armIdle(idleTimeout);
        if (early.empty()) {
            pump(Up);
        } else {
            auto bytes = std::make_shared<std::string>(std::move(early));
            asio::async_write(
                *sockets[1], asio::buffer(*bytes),
                [self = shared_from_this(), bytes](const asio::error_code &ec, size_t) {
                    if (self->closed)
                        return;
                    if (ec)
                        return self->unreachable();
                    self->pump(Up);
                });
        }
        heard = !leftover.empty();
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
                        return self->closeAll(Cut);
                    self->pump(Down);
                });
        }
    }

    // The service is going: what cannot be finished is cut, visibly.
    void abort() { closeAll(Cut); }

private:
    enum Direction { Up = 0, Down = 1 }; // Up: visitor to client; Down: client to visitor
    // Ended: both sides ended their streams, and so does the pipe. Cut: a side failed, or the
    // pipe gave up on it; both get a reset, so neither takes a cut stream for a whole one.
    enum Ending { Ended, Cut };

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
                if (ec && d == Down && !self->heard && self->pages)
                    return self->unreachable();
                if (ec)
                    return self->ended(d, ec);
                self->heard = self->heard || d == Down;
                self->lastActive = Clock::now();
                self->forward(d, n);
            });
    }

    void forward(int d, size_t n)
    {
        metrics::addBytes(d, n);
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
                              if (ec && d == Up && !self->heard && self->pages)
                                  return self->unreachable();
                              if (ec)
                                  return self->closeAll(Cut);
                              self->pump(d);
                          });
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
        ticket.reset();
        held.reset();
        linger.cancel();
        idle.cancel();
        pace[0].cancel();
        pace[1].cancel();
        logx::debug("relay", "pipe-closed",
                    {{"tunnel", std::to_string(tunnelId)}, {"cut", ending == Cut ? "1" : "0"}});
    }

    std::shared_ptr<Limiter> limiter;
    int64_t tunnelId;
    std::unique_ptr<VisitorTicket> ticket;
    std::unique_ptr<Held> held;
    std::chrono::seconds idleTimeout;
    bool pages;
    bool heard = false; // a byte has come from the client's side
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
    for (const auto &weak : pipes)
        if (const auto pipe = weak.lock())
            pipe->abort();
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
    auto pipe = std::make_shared<Pipe>(io, std::move(visitor->socket), std::move(socket), limiter,
                                       visitor->tunnelId, std::move(visitor->ticket),
                                       std::move(visitor->held),
                                       std::chrono::seconds(config.visitorIdleS), visitor->pages);
    pipe->start(std::move(leftover), std::move(visitor->early));
    // Kept to be cut if the service stops; the closed ones are dropped now and then.
    if (pipes.size() >= 2 * livePipes + 64) {
        pipes.remove_if([](const std::weak_ptr<Pipe> &p) { return p.expired(); });
        livePipes = pipes.size();
    }
    pipes.push_back(pipe);
}
