#pragma once

#include "relayframe.h"
#include "relaylimits.h"
#include "relayserver.h"

#include <asio.hpp>
#include <nlohmann/json.hpp>

#include <deque>
#include <memory>
#include <set>
#include <string>

// Control sessions: the connection a client signs in on, and what the relay keeps of each
// signed-in tunnel.
namespace relay {

// A control connection that does not read what we send is dropped past this much.
constexpr size_t MaxQueuedControlBytes = 4 * 1024 * 1024;

// The control connection of one tunnel (or of a refused sign-in, until its answer is out).
class Control : public std::enable_shared_from_this<Control>
{
public:
    Control(RelayServer &server, asio::ip::tcp::socket s, std::string leftover);

    void start();
    void send(const nlohmann::json &body, const std::string &data);
    // Sends the frame, then closes once it is out (or after a second at most).
    void sendAndClose(const nlohmann::json &body, const std::string &data);
    void close();

    bool isClosed() const { return closed; }
    const std::string &peerName() const { return peer; }

    int64_t tunnelId = 0; // set once signed in

private:
    void armIdle();
    void read();
    // False when the connection was closed on the way.
    bool processFrames();
    void writeNext();

    RelayServer &server;
    asio::ip::tcp::socket socket;
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

// The key of a web tunnel's domain: host names compare without case.
std::string webDomainOf(std::string domain);

struct TunnelState
{
    TunnelState(asio::io_context &io, RelayTunnel t)
        : info(std::move(t)), acceptor(io), retry(io), expiry(io)
    {
    }
    RelayTunnel info;
    std::string token;
    asio::ip::tcp::acceptor acceptor;
    asio::steady_timer retry;
    asio::steady_timer expiry; // the end of the paid time
    std::shared_ptr<Control> control;
    std::set<std::string> pendingUids;
    std::shared_ptr<Limiter> limiter;
};

} // namespace relay
