// borvane-server: the reference service of the Borvane client, the HTTP API and the relay
// server in one process, on a SQLite database.
#include "apiserver.h"
#include "config.h"
#include "database.h"
#include "httpgate.h"
#include "log.h"
#include "metrics.h"
#include "relayserver.h"
#include "release.h"
#include "util.h"

#include <asio.hpp>
#include <sodium.h>

#include <csignal>
#include <cstring>
#include <functional>
#include <sys/resource.h>
#include <thread>

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

std::optional<RelayTunnel> relayTunnel(const std::optional<TunnelRow> &row)
{
    if (!row)
        return std::nullopt;
    RelayTunnel t;
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

} // namespace

int main(int argc, char **argv)
{
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
        logx::error("db", "open-failed", {{"path", config.databasePath}, {"error", error}});
        return 1;
    }
    db.setTunnelDefaults(config.portFirst, config.portLast, config.domainSuffix);
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
    if (!api.bind(error)) {
        logx::error("api", "start-failed", {{"error", error}});
        return 1;
    }
    asio::io_context io;
    RelayServer relay(io, config, [&db](const std::string &token) {
        return relayTunnel(db.tunnelByToken(token));
    });
    relay.setDomainLookup(
        [&db](const std::string &domain) { return relayTunnel(db.tunnelByDomain(domain)); });
    if (!relay.start(error)) {
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
    std::thread apiThread([&] { api.run(); });
    logx::info("server", "ready",
               {{"api", config.bindAddress + ":" + std::to_string(config.apiPort)},
                {"relay", config.bindAddress + ":" + std::to_string(config.relayPort)},
                {"ports", std::to_string(config.portFirst) + "-" + std::to_string(config.portLast)},
                {"http", config.httpPort ? std::to_string(config.httpPort) : "off"},
                {"https", config.httpsPort ? std::to_string(config.httpsPort) : "off"},
                {"metrics", config.metricsAddress.empty()
                                ? "off"
                                : config.metricsAddress + ":" + std::to_string(config.metricsPort)},
                {"public_host", config.publicHost},
                {"db", config.databasePath},
                {"version", BORVANE_SERVER_VERSION}});
    io.run();
    api.stop();
    apiThread.join();
    if (figures)
        figures->stop();
    figuresThread.join();
    db.close();
    logx::info("server", "stopped");
    return 0;
}
