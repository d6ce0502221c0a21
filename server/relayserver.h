#pragma once

#include "config.h"
#include "log.h"

#include <asio.hpp>

#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

// What the relay needs to know of a tunnel when it signs in.
struct RelayTunnel
{
    int64_t id = 0;
    std::string name;
    std::string domain;
    int bdw = 0; // Mbps; 0: unlimited
    int clientPort = 0;
    int serverPort = 0;
    int type = 1; // 0: a web tunnel, reached by its domain on the shared web ports too
    bool expired = false;
    bool elsewhere = false;   // placed on another relay node
    bool unavailable = false; // the database did not answer: nothing else is known
    int64_t stopTime = 0;     // epoch seconds; 0: never
};

namespace relay {
class Control;
class Pipe;
class WebPort;
struct TunnelState;
struct PendingVisitor;
struct Limiter;
struct Tally;
struct Reader;
class FlowPools;
} // namespace relay

// The relay server: control connections (LOGIN, HEART, STOP, CONN requests), one public
// listener per signed-in tunnel, and the pairing of each visitor with the client's data
// connection, after which bytes flow unchanged both ways within the tunnel's bandwidth.
// Sign-ins, pairing and the listeners run on the io_context given, on the thread that drives
// it; paired visitors' bytes flow on it and on the further io loops the relay runs itself.
class RelayServer
{
public:
    // Looks a tunnel up by its token; called on the relay thread.
    using Lookup = std::function<std::optional<RelayTunnel>(const std::string &token)>;

    RelayServer(asio::io_context &io, const Config &config, Lookup lookup);
    ~RelayServer();

    // Looks a tunnel up by its domain (lower case), for the shared web ports.
    void setDomainLookup(std::function<std::optional<RelayTunnel>(const std::string &)> f)
    {
        domainLookup = std::move(f);
    }

    bool start(std::string &error);
    // Closes the listeners and every connection; call on the relay thread.
    void stop();

private:
    friend class relay::Control;
    friend class relay::Pipe;
    friend struct relay::Reader;
    friend class relay::WebPort;

    void accept();
    // Admits a new connection under the caps of undecided connections and descriptors, or
    // closes it; source is set to the peer's address.
    bool admit(asio::ip::tcp::socket &socket, std::string &source);
    void firstFrame(asio::ip::tcp::socket socket, const std::string &source);
    void readFirstFrame(std::shared_ptr<relay::Reader> reader);
    bool evictOldestUndecided();
    void login(std::shared_ptr<relay::Control> control, const std::string &token);
    void controlClosed(relay::Control *control, int64_t tunnelId);
    void acceptVisitors(std::shared_ptr<relay::TunnelState> state);
    // early: bytes the visitor already sent (a web visitor's request head), which go first;
    // pages: the visitor speaks HTTP and gets a page when the tunnel's site does not answer.
    void newVisitor(const std::shared_ptr<relay::TunnelState> &state, asio::ip::tcp::socket socket,
                    std::string early = {}, bool pages = false);
    void dataConnection(asio::ip::tcp::socket socket, std::string leftover, const std::string &uid);
    void closeTunnel(int64_t tunnelId);
    void cutPipes();
    void armExpiry(const std::shared_ptr<relay::TunnelState> &state);
    void noteRefused(const char *kind) { refusals.note(kind); }
    std::shared_ptr<relay::Limiter> limiterFor(int64_t tunnelId, int bdw);

    asio::io_context &io;
    const Config &config;
    Lookup lookup;
    std::function<std::optional<RelayTunnel>(const std::string &)> domainLookup;
    asio::ip::tcp::acceptor acceptor;
    std::unique_ptr<relay::WebPort> webPorts[2]; // HTTP, HTTPS
    // Signed-in web tunnels by domain.
    std::map<std::string, int64_t> webDomains;
    bool stopped = false;
    std::map<int64_t, std::shared_ptr<relay::TunnelState>> tunnels;
    std::map<std::string, std::shared_ptr<relay::PendingVisitor>> pending;
    std::map<int64_t, std::weak_ptr<relay::Limiter>> limiters;
    std::list<std::weak_ptr<relay::Pipe>> pipes; // paired visitors, some of them closed
    size_t livePipes = 0;                        // after the last pruning
    // Open connections by kind and source; shared with the connections, which may outlive us
    // in the io_context's queue.
    std::shared_ptr<relay::Tally> tally;
    size_t descriptorLimit = 0;
    // The further io loops and their threads; what paired visitors borrow while bytes flow,
    // one pool per loop (the first for io).
    std::vector<std::unique_ptr<asio::io_context>> loops;
    std::vector<asio::executor_work_guard<asio::io_context::executor_type>> loopWork;
    std::vector<std::thread> loopThreads;
    std::vector<std::shared_ptr<relay::FlowPools>> pools;
    size_t nextLoop = 1; // the first pipe goes to a further loop, if there is one
    logx::Refusals refusals{"relay"};
};
