#pragma once

#include "net/statustext.h"
#include "tunnel/statusboard.h"

#include <QByteArray>
#include <QString>

#include <memory>

// The local status API: GET /api/tunnels answers the tunnels as JSON, GET / a page that shows
// them and reloads itself. Read-only, loopback only, and only for requests whose Host names
// this machine, so that a web page cannot reach it through a name that resolves here. It
// answers on its own threads from the board's snapshot (the tunnel registry's) and never waits
// on the GUI thread, so it answers whether or not any window exists.
class StatusServer
{
public:
    explicit StatusServer(std::shared_ptr<const StatusBoard> board);
    ~StatusServer();
    StatusServer(const StatusServer &) = delete;
    StatusServer &operator=(const StatusServer &) = delete;

    // address is "host:port" with a loopback host ("127.0.0.1:4180", "[::1]:4180",
    // "localhost:4180"); port 0 takes a free one. Returns false, after one log line, when the
    // address is not a loopback one or cannot be bound: the program then runs without the API.
    bool start(const QString &address);
    // Ends the thread: waits up to StopWaitMs for answers in progress, then lets them finish on
    // their own.
    void stop();
    bool isRunning() const { return running != nullptr; }
    int port() const;

    static constexpr int StopWaitMs = 1500;
    static constexpr int PageRefreshSeconds = 2;

    static QByteArray tunnelsJson(const QList<TunnelStatus> &tunnels);
    static QByteArray page(const QList<TunnelStatus> &tunnels);
    // GET /api/tunnels/<domain>/requests and the page at /requests/<domain>: the tunnel's latest
    // web requests, newest first.
    static QByteArray requestsJson(const QList<RequestEntry> &requests);
    static QByteArray requestsPage(const QString &domain, const QList<RequestEntry> &requests);
    // A Host header value that names this machine: localhost or a loopback address, with or
    // without a port.
    static bool isLoopbackHost(const QString &host);

private:
    struct Running;
    std::shared_ptr<const StatusBoard> board;
    std::shared_ptr<Running> running;
};
