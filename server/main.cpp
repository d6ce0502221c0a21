// borvane-server: the reference service of the Borvane client, the HTTP API and the relay
// server in one process, on a SQLite database.
#include "apiserver.h"
#include "config.h"
#include "database.h"
#include "databaselink.h"
#include "httpgate.h"
#include "log.h"
#include "metrics.h"
#include "relayserver.h"
#include "release.h"
#include "util.h"

#include <asio.hpp>
#include <sodium.h>

#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <functional>
#include <mutex>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr const char *DemoPhone = "13800000000";
constexpr const char *DemoPassword = "demo123456";
constexpr const char *DemoName = "演示账户";

// Every visitor and every data connection is a descriptor: take what the system allows.
void raiseDescriptorLimit()
{
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

int runDemoWeb(const Config &config)
{
    DemoWebServer web;
    std::string error;
    if (!web.bind(config.bindAddress, config.demoWebPort, error)) {
        logx::error("demo-web", "start-failed", {{"error", error}});
        return 1;
    }
    asio::io_context io;
    asio::signal_set signals(io, SIGINT, SIGTERM);
    signals.async_wait([&](const asio::error_code &, int sig) {
        logx::info("demo-web", "stopping", {{"signal", std::to_string(sig)}});
        web.stop();
    });
    std::thread thread([&] { web.run(); });
    logx::info(
        "demo-web", "ready",
        {{"url", "http://" + config.bindAddress + ":" + std::to_string(config.demoWebPort) + "/"}});
    io.run();
    thread.join();
    logx::info("demo-web", "stopped");
    return 0;
}

// The operator's figures and a health check, on their own small gate: loopback unless the
// operator says otherwise, and never able to take the API's workers.
std::unique_ptr<GatedServer> metricsServer(const Config &config, std::string &error)
{
    GateLimits limits;
    limits.workers = 2;
    limits.connectionsPerSource = 16;
    limits.maxConnections = 64;
    auto server = std::make_unique<GatedServer>(limits);
    server->Get("/metrics", [](const httplib::Request &, httplib::Response &res) {
        res.set_content(metrics::render(), "text/plain; version=0.0.4; charset=utf-8");
    });
    server->Get("/healthz", [](const httplib::Request &, httplib::Response &res) {
        res.set_content("ok\n", "text/plain; charset=utf-8");
    });
    if (!server->bind_to_port(config.metricsAddress.c_str(), config.metricsPort)) {
        error =
            "cannot listen on " + config.metricsAddress + ":" + std::to_string(config.metricsPort);
        return nullptr;
    }
    server->widenBacklog();
    return server;
}

std::optional<RelayTunnel> relayTunnel(const std::optional<TunnelRow> &row, bool failed,
                                       const std::string &ownHost)
{
    if (failed) {
        RelayTunnel unknown;
        unknown.unavailable = true;
        return unknown;
    }
    if (!row)
        return std::nullopt;
    RelayTunnel t;
    t.elsewhere = !row->node.empty() && row->node != ownHost;
    t.id = row->id;
    t.name = row->name;
    t.domain = row->domain;
    t.bdw = row->bdw;
    t.clientPort = row->clientPort;
    t.serverPort = row->serverPort;
    t.type = row->type;
    t.expired = row->expired(util::nowSeconds());
    t.stopTime = row->stopTime;
    return t;
}

constexpr int DefaultRecheckS = 10;
constexpr int HeartbeatIntervalS = 10;

// Writes this node's heartbeat into a shared database every few seconds, off the relay's
// thread so that a slow database never holds up traffic.
class NodeHeartbeat
{
public:
    NodeHeartbeat(Database &db, std::string host, bool relay) : db(db), host(std::move(host))
    {
        if (!relay || !db.shared())
            return;
        beat();
        thread = std::thread([this] {
            std::unique_lock<std::mutex> lock(mutex);
            while (!wake.wait_for(lock, std::chrono::seconds(HeartbeatIntervalS),
                                  [this] { return stopping; }))
                beat();
        });
    }
    ~NodeHeartbeat() { stop(); }
    void stop()
    {
        {
            std::lock_guard<std::mutex> lock(mutex);
            stopping = true;
        }
        wake.notify_all();
        if (thread.joinable())
            thread.join();
    }

private:
    void beat()
    {
        if (!db.heartbeat(host, started, util::nowSeconds()))
            logx::warn("db", "heartbeat-failed", {{"node", host}});
    }

    Database &db;
    const std::string host;
    const int64_t started = util::nowSeconds();
    std::mutex mutex;
    std::condition_variable wake;
    bool stopping = false;
    std::thread thread;
};

// The options after a command's own words: --db, --config and the rest, as the service reads
// them.
bool commandDatabase(int argc, char **argv, int skip, Database &db, Config &config)
{
    std::vector<char *> rest{argv[0]};
    for (int i = skip; i < argc; ++i)
        rest.push_back(argv[i]);
    int exitCode = 0;
    if (parseArguments(int(rest.size()), rest.data(), config, exitCode) != ParseResult::Run)
        return false;
    std::string error;
    if (!db.open(config.databasePath, error)) {
        std::fprintf(stderr, "borvane-server: %s\n", error.c_str());
        return false;
    }
    return true;
}

// borvane-server move-tunnel ID --node HOST [--db ...]: a tunnel leaves a node being retired.
int moveTunnelCommand(int argc, char **argv)
{
    long long id = 0;
    if (argc < 5 || !util::parseUInt(argv[2], 1LL << 53, id) || id == 0 ||
        std::strcmp(argv[3], "--node") != 0) {
        std::fputs("Usage: borvane-server move-tunnel ID --node HOST [--db ...] [--config FILE]\n",
                   stderr);
        return 2;
    }
    const std::string host = argv[4];
    Database db;
    Config config;
    if (!commandDatabase(argc, argv, 5, db, config))
        return 1;
    bool known = false;
    for (const NodeRow &n : db.nodes())
        known = known || n.host == host;
    if (!known) {
        std::fprintf(stderr, "borvane-server: no node %s has announced itself (see: nodes)\n",
                     host.c_str());
        return 1;
    }
    if (!db.moveTunnel(id, host)) {
        std::fprintf(stderr, "borvane-server: no tunnel %lld\n", id);
        return 1;
    }
    std::fprintf(stderr, "Tunnel %lld now signs in at %s; its old node signs it out.\n", id,
                 host.c_str());
    return 0;
}

// borvane-server nodes [--db ...]: the relay nodes, how long ago each was heard, its tunnels.
int nodesCommand(int argc, char **argv)
{
    Database db;
    Config config;
    if (!commandDatabase(argc, argv, 2, db, config))
        return 1;
    const int64_t now = util::nowSeconds();
    for (const NodeRow &n : db.nodes())
        std::printf("%s\tseen %llds ago\ttunnels %lld\n", n.host.c_str(),
                    static_cast<long long>(now - n.seenAt), static_cast<long long>(n.tunnels));
    return 0;
}

// borvane-server migrate-db --from FILE --to URL: an SQLite deployment moves to PostgreSQL.
int migrateDbCommand(int argc, char **argv)
{
    std::string from, to;
    for (int i = 2; i + 1 < argc; i += 2) {
        const std::string name = argv[i];
        if (name == "--from")
            from = argv[i + 1];
        else if (name == "--to")
            to = argv[i + 1];
        else
            from.clear(), to.clear(), i = argc;
    }
    if (argc != 6 || from.empty() || to.empty()) {
        std::fputs("Usage: borvane-server migrate-db --from FILE --to postgresql://...\n", stderr);
        return 2;
    }
    if (DatabaseLink::isPostgresUrl(from) || !DatabaseLink::isPostgresUrl(to)) {
        std::fputs("borvane-server: --from names an SQLite file, --to a postgresql:// URL\n",
                   stderr);
        return 2;
    }
    if (::access(from.c_str(), R_OK) != 0) {
        std::fprintf(stderr, "borvane-server: cannot read %s\n", from.c_str());
        return 1;
    }
    Database source, target;
    std::string error;
    if (!source.open(from, error)) {
        std::fprintf(stderr, "borvane-server: %s: %s\n", from.c_str(), error.c_str());
        return 1;
    }
    if (!target.open(to, error)) {
        std::fprintf(stderr, "borvane-server: %s: %s\n", target.describe().c_str(), error.c_str());
        return 1;
    }
    if (!source.copyTo(target, error)) {
        std::fprintf(stderr, "borvane-server: nothing copied: %s\n", error.c_str());
        return 1;
    }
    std::fprintf(stderr, "Copied %s to %s\n", from.c_str(), target.describe().c_str());
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc >= 2 && std::strcmp(argv[1], "migrate-db") == 0)
        return migrateDbCommand(argc, argv);
    if (argc >= 2 && std::strcmp(argv[1], "move-tunnel") == 0)
        return moveTunnelCommand(argc, argv);
    if (argc >= 2 && std::strcmp(argv[1], "nodes") == 0)
        return nodesCommand(argc, argv);
    if (argc >= 2 &&
        (std::strcmp(argv[1], "keygen") == 0 || std::strcmp(argv[1], "sign-release") == 0)) {
        if (sodium_init() < 0)
            return 1;
        return std::strcmp(argv[1], "keygen") == 0 ? release::keygenCommand(argc, argv)
                                                   : release::signReleaseCommand(argc, argv);
    }
    Config config;
    int exitCode = 0;
    switch (parseArguments(argc, argv, config, exitCode)) {
    case ParseResult::Run:
        break;
    case ParseResult::Exit:
    case ParseResult::Error:
        return exitCode;
    }
    logx::Level level;
    logx::parseLevel(config.logLevel, level);
    logx::setLevel(level);
    std::signal(SIGPIPE, SIG_IGN);
    raiseDescriptorLimit();
    if (sodium_init() < 0) {
        logx::error("server", "start-failed", {{"error", "libsodium could not start"}});
        return 1;
    }
    if (config.demoWebPort)
        return runDemoWeb(config);

    Database db;
    std::string error;
    if (!db.open(config.databasePath, error)) {
        // A URL's password stays out of the log.
        logx::error(
            "db", "open-failed",
            {{"db", DatabaseLink::isPostgresUrl(config.databasePath) ? std::string("postgresql")
                                                                     : config.databasePath},
             {"error", error}});
        return 1;
    }
    db.setTunnelDefaults(config.portFirst, config.portLast, config.domainSuffix);
    if (config.role != "all" && !db.shared()) {
        logx::error(
            "server", "start-failed",
            {{"error", "--role api or relay needs a PostgreSQL database that nodes share"}});
        return 1;
    }
    // A tunnel placed while no relay node is alive names none, and any node takes it.
    db.setPlacement(config.runsRelay() ? config.publicHost : std::string(), config.placeTunnelsOn);
    if (config.tunnelRecheckS == 0 && db.shared())
        config.tunnelRecheckS = DefaultRecheckS;
    // On a shared database a relay node announces itself, so that tunnels are placed on it.
    NodeHeartbeat heartbeat(db, config.publicHost, config.runsRelay());
    if (config.demo) {
        char hash[crypto_pwhash_STRBYTES];
        if (crypto_pwhash_str(hash, DemoPassword, std::strlen(DemoPassword),
                              crypto_pwhash_OPSLIMIT_INTERACTIVE,
                              crypto_pwhash_MEMLIMIT_INTERACTIVE) != 0) {
            logx::error("server", "start-failed", {{"error", "out of memory hashing"}});
            return 1;
        }
        const auto tunnel =
            db.seedDemo(DemoPhone, DemoName, hash, config.demoClientPort, config.demoBandwidthMbps,
                        config.demoExpiryS ? util::nowSeconds() + config.demoExpiryS : 0);
        if (!tunnel) {
            logx::error("db", "demo-seed-failed");
            return 1;
        }
        logx::info("server", "demo-ready",
                   {{"phone", util::maskedPhone(DemoPhone)},
                    {"tunnel", std::to_string(tunnel->id)},
                    {"domain", tunnel->domain},
                    {"public", config.publicHost + ":" + std::to_string(tunnel->serverPort)},
                    {"local", tunnel->clientIp + ":" + std::to_string(tunnel->clientPort)}});
    }

    ApiServer api(config, db);
    if (config.runsApi() && !api.bind(error)) {
        logx::error("api", "start-failed", {{"error", error}});
        return 1;
    }
    // On a database server the relay has a connection of its own, so that its lookups never
    // wait behind the API's transactions.
    Database relayConnection;
    if (db.shared() && config.runsRelay() && !relayConnection.open(config.databasePath, error)) {
        logx::error("db", "open-failed", {{"db", db.describe()}, {"error", error}});
        return 1;
    }
    Database &relayDb = db.shared() && config.runsRelay() ? relayConnection : db;
    asio::io_context io;
    RelayServer relay(io, config, [&relayDb, &config](const std::string &token) {
        bool failed = false;
        const auto row = relayDb.tunnelByToken(token, &failed);
        return relayTunnel(row, failed, config.publicHost);
    });
    relay.setDomainLookup([&relayDb, &config](const std::string &domain) {
        bool failed = false;
        const auto row = relayDb.tunnelByDomain(domain, &failed);
        // A database that does not answer knows no name for now.
        return failed ? std::nullopt : relayTunnel(row, false, config.publicHost);
    });
    if (config.runsRelay() && !relay.start(error)) {
        logx::error("relay", "start-failed", {{"error", error}});
        return 1;
    }
    std::unique_ptr<GatedServer> figures;
    if (!config.metricsAddress.empty() && !(figures = metricsServer(config, error))) {
        logx::error("metrics", "start-failed", {{"error", error}});
        return 1;
    }
    std::thread figuresThread([&] {
        if (figures)
            figures->serve();
    });

    asio::signal_set hangup(io, SIGHUP);
    asio::signal_set signals(io, SIGINT, SIGTERM);
    signals.async_wait([&](const asio::error_code &ec, int sig) {
        if (ec)
            return;
        logx::info("server", "stopping", {{"signal", std::to_string(sig)}});
        relay.stop();
        if (config.runsApi())
            api.stop();
        hangup.cancel();
        if (figures)
            figures->stop();
        io.stop();
    });
    // SIGHUP: a renewed TLS certificate is read again without a restart.
    std::function<void()> awaitHangup = [&] {
        hangup.async_wait([&](const asio::error_code &ec, int) {
            if (ec)
                return;
            logx::info("server", "reload", {{"signal", "1"}});
            api.reloadTls();
            awaitHangup();
        });
    };
    awaitHangup();
    std::thread apiThread([&] {
        if (config.runsApi())
            api.run();
    });
    logx::info(
        "server", "ready",
        {{"api",
          config.runsApi() ? config.bindAddress + ":" + std::to_string(config.apiPort) : "off"},
         {"relay",
          config.runsRelay() ? config.bindAddress + ":" + std::to_string(config.relayPort) : "off"},
         {"ports", std::to_string(config.portFirst) + "-" + std::to_string(config.portLast)},
         {"http", config.httpPort ? std::to_string(config.httpPort) : "off"},
         {"https", config.httpsPort ? std::to_string(config.httpsPort) : "off"},
         {"metrics", config.metricsAddress.empty()
                         ? "off"
                         : config.metricsAddress + ":" + std::to_string(config.metricsPort)},
         {"public_host", config.publicHost},
         {"db", db.describe()},
         {"version", BORVANE_SERVER_VERSION}});
    io.run();
    if (config.runsApi())
        api.stop();
    apiThread.join();
    if (figures)
        figures->stop();
    figuresThread.join();
    heartbeat.stop();
    relayConnection.close();
    db.close();
    logx::info("server", "stopped");
    return 0;
}
