#pragma once

#include <string>

// Everything the service can be told on its command line.
struct Config
{
    std::string bindAddress = "127.0.0.1";
    int apiPort = 8080;
    int relayPort = 8888;
    int portFirst = 20000; // public ports handed to tunnels
    int portLast = 20999;
    std::string databasePath = "borvane-server.db";
    // The relay address clients connect to (a tunnel's serverIp); the bind address by default.
    std::string publicHost;
    // Tunnels get the domain "t<id>." + this; *.localhost reaches loopback in browsers and curl.
    std::string domainSuffix = "localhost";
    bool demo = false;
    int demoClientPort = 8081;  // the local service of the demo tunnel
    int demoBandwidthMbps = 10; // 0: unlimited
    int demoExpiryS = 0;        // the demo tunnel's paid time ends this long after start; 0: never
    // Serve only the small demo web page on this port (the demo's "local service") and exit on
    // a signal; 0 runs the service itself.
    int demoWebPort = 0;
    int pairTimeoutMs = 10000; // a visitor whose data connection does not come is closed
    int firstFrameMs = 5000;   // a new relay connection must send its first frame in time
    int controlIdleMs = 60000; // a control connection with no input for this long is dropped
    // Relay connections that have not said what they are: past the global cap the oldest goes,
    // past the cap of one address the newest.
    int maxUndecided = 4096;
    int maxUndecidedPerSource = 1024;
    // Paired visitors: silent for this long, a pipe is closed; caps per tunnel and per address.
    int visitorIdleS = 300;
    int maxVisitorsPerTunnel = 500;
    int maxVisitorsPerSource = 1000;
    // One address's share of one tunnel, so it never fills the tunnel; 0: a quarter of
    // maxVisitorsPerTunnel.
    int maxVisitorsPerTunnelSource = 0;
    int visitorsPerTunnelSource() const;
    // Diagnostic: paired visitors are relayed by the portable copy loop even where the kernel
    // can move the bytes between the sockets itself.
    bool relayCopy = false;
    // io loops that carry paired visitors' bytes; 0: one per core. Sign-ins, pairing and the
    // listeners stay on the first.
    int relayThreads = 0;
    // Descriptors no visitor may take, so sign-ins and data connections of known tunnels fit.
    int descriptorReserve = 512;

    // Web tunnels: the shared ports on which visitors reach a web tunnel by its domain (HTTP by
    // the Host header, HTTPS by the name in the TLS ClientHello); 0: off. A new connection has
    // this long to send its request head or ClientHello.
    int httpPort = 0;
    int httpsPort = 0;
    int webHeadMs = 10000;

    // The API over TLS when both are given (PEM files); a plain-HTTP port that only redirects
    // to it, 0: none.
    std::string tlsCert;
    std::string tlsKey;
    int apiRedirectPort = 0;
    // Prometheus figures at /metrics and a health check at /healthz on this address; empty: off.
    std::string metricsAddress;
    int metricsPort = 0;

    // API: worker threads (a request reaches one only once its head is in), connections per
    // address, the time to send a whole request, header lines per request.
    int apiWorkers = 16;
    int apiConnectionsPerSource = 32;
    int apiMaxConnections = 2048; // all addresses; past it the longest silent one goes
    int apiRequestTimeoutS = 10;
    int apiMaxHeaderLines = 64;

    // Accounts.
    int maxTunnelsPerAccount = 20;
    int maxPendingOrders = 10;
    int tokenLifetimeDays = 30;
    // Lets a payment provider's notification mark an order paid (order/pay/<id>?secret=...);
    // empty: only the account's own token does.
    std::string paySecret;
    // Verification codes are appended here (no SMS gateway); the database path + ".sms" by
    // default.
    std::string smsOutbox;
    int codeGuessesPerDay = 10;        // per phone
    int codeRequestsPerSourceDay = 20; // per address
    std::string logLevel = "info";
    // A release folder (see release.h) whose update information and files the service serves,
    // and the key it signs them with at start; without a key, the folder's own manifest.json.
    std::string updateDir;
    std::string updateKey;

    // Several nodes on one PostgreSQL database: new tunnels go to this relay node (its
    // --public-host) rather than to the live node with the fewest; and how often a relay node
    // looks its signed-in tunnels up again, so that one expired, deleted or moved elsewhere is
    // signed out (0: with PostgreSQL every 10 s, with SQLite at the end of the paid time).
    std::string placeTunnelsOn;
    int tunnelRecheckS = 0;
    // What this process runs: "all", "api" (the HTTP API only) or "relay" (the relay only).
    std::string role = "all";
    bool runsApi() const { return role != "relay"; }
    bool runsRelay() const { return role != "api"; }

    // Base of every URL the service hands out (payment pages): "http(s)://host:apiPort".
    std::string publicApiBase() const;
    bool apiOverTls() const { return !tlsCert.empty(); }
};

enum class ParseResult { Run, Exit, Error };

// Fills config from argv, and first from the file of --config (one "name value" or
// "name = value" per line, the option names without "--", '#' starts a comment; the command
// line wins). Prints the help text or an error. exitCode is set for Exit and Error.
ParseResult parseArguments(int argc, char **argv, Config &config, int &exitCode);
