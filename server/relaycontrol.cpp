#include "relaycontrol.h"

#include "metrics.h"
#include "relaypipe.h"
#include "util.h"

#include <algorithm>
#include <cctype>

using asio::ip::tcp;
using nlohmann::json;

namespace relay {

Control::Control(RelayServer &server, tcp::socket s, std::string leftover)
    : server(server), socket(std::move(s)), idleTimer(server.io), closeTimer(server.io),
      held(server.tally, 1)
{
    peer = peerOf(socket);
    // The frames that arrived right behind LOGIN: parsed once reading starts.
    buffer.append(leftover);
}

void Control::start()
{
    armIdle();
    if (!processFrames())
        return;
    read();
}

void Control::send(const json &body, const std::string &data)
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

void Control::sendAndClose(const json &body, const std::string &data)
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

void Control::close()
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

void Control::armIdle()
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

void Control::read()
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

bool Control::processFrames()
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

void Control::writeNext()
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

std::string webDomainOf(std::string domain)
{
    for (char &c : domain)
        c = char(std::tolower(static_cast<unsigned char>(c)));
    return domain;
}

} // namespace relay

using namespace relay;

namespace {
const char *const MovedText = "该隧道已迁移到其他服务器，请刷新隧道列表后重新启动";
}

void RelayServer::login(std::shared_ptr<Control> control, const std::string &token)
{
    auto refuse = [&](const std::string &reason, const char *why) {
        logx::info("relay", "login-refused", {{"peer", control->peerName()}, {"reason", why}});
        control->start();
        control->sendAndClose({{"type", "LOGIN"}, {"msg", "LOGINFAIL"}, {"info", reason}}, "");
    };
    const auto found = token.empty() ? std::nullopt : lookup(token);
    if (found && found->unavailable)
        return refuse("服务器繁忙，请稍后重试", "db-unavailable");
    if (!found)
        return refuse("隧道令牌无效，请检查令牌是否正确，或前往控制台重新获取", "unknown-token");
    if (found->expired)
        return refuse("该隧道已到期，请续费后再启动", "expired");
    if (found->elsewhere)
        return refuse(MovedText, "other-node");

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
        metrics::figures().tunnelsOnline = int64_t(tunnels.size());
        acceptVisitors(state);
    }
    // A web tunnel is also reached by its domain; the type may have changed since last time.
    const std::string domain = webDomainOf(found->domain);
    const auto web = webDomains.find(domain);
    if (web != webDomains.end() && web->second == found->id)
        webDomains.erase(web);
    if (found->type == 0 && !domain.empty())
        webDomains[domain] = found->id;
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
    metrics::figures().tunnelsOnline = int64_t(tunnels.size());
    const auto web = webDomains.find(webDomainOf(state->info.domain));
    if (web != webDomains.end() && web->second == tunnelId)
        webDomains.erase(web);
    asio::error_code ignored;
    state->acceptor.close(ignored);
    state->retry.cancel();
    state->expiry.cancel();
    for (const auto &uid : state->pendingUids) {
        const auto p = pending.find(uid);
        if (p == pending.end())
            continue;
        p->second->timer.cancel();
        resetAndClose(p->second->socket);
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
    if (state->info.stopTime == 0 && config.tunnelRecheckS == 0)
        return;
    // At the end of the paid time the tunnel is looked up again (it may have been renewed);
    // an expired one is told why and signed out. The paid time is a date on the wall clock,
    // the timer runs on a steady one: it is measured again at least every ten minutes, so a
    // clock that is set is followed within that. With nodes sharing a database, more often:
    // a tunnel deleted or moved to another node there is signed out here.
    const int64_t maxWaitS = config.tunnelRecheckS ? config.tunnelRecheckS : 600;
    const int64_t left = std::clamp<int64_t>(
        state->info.stopTime ? state->info.stopTime - util::nowSeconds() : maxWaitS, 0, maxWaitS);
    state->expiry.expires_after(std::chrono::seconds(left) + std::chrono::milliseconds(100));
    std::weak_ptr<TunnelState> weak = state;
    state->expiry.async_wait([this, weak](const asio::error_code &ec) {
        const auto state = weak.lock();
        if (ec || stopped || !state)
            return;
        const auto now = lookup(state->token);
        if (now && now->unavailable) // asked again later; the tunnel keeps running
            return armExpiry(state);
        if (now && !now->expired && !now->elsewhere) {
            state->info.stopTime = now->stopTime;
            return armExpiry(state);
        }
        const int64_t id = state->info.id;
        const bool expired = now && now->expired;
        logx::info("relay",
                   expired ? "tunnel-expired"
                   : now   ? "tunnel-moved"
                           : "tunnel-deleted",
                   {{"tunnel", std::to_string(id)}});
        auto control = state->control;
        if (control) {
            control->tunnelId = 0;
            control->sendAndClose({{"type", "LOGIN"},
                                   {"msg", expired ? "EXPIRED" : "LOGINFAIL"},
                                   {"info", expired ? "该隧道已到期，已停止运行，请续费后再启动"
                                            : now ? MovedText
                                                  : "该隧道已被删除，已停止运行"}},
                                  "");
        }
        closeTunnel(id);
    });
}
