#pragma once

#include "platform/platform.h"

#include <QMutex>
#include <QObject>
#include <QRunnable>
#include <QString>
#include <QThreadPool>

#include <QSemaphore>

#include <atomic>
#include <memory>
#include <thread>

// What a tunnel session shares with its data connections: the send lock for frames and the pool
// the relay workers run on. Held through a shared pointer so that data connections outlive the
// session that opened them; the last holder releases it without ever waiting on itself.
class RelayContext : public std::enable_shared_from_this<RelayContext>
{
public:
    static constexpr int MaxThreads = 1000;
    // A worker's stack holds its 32 KiB copy buffer and little else.
    static constexpr uint WorkerStackBytes = 128 * 1024;

    static std::shared_ptr<RelayContext> create();
    ~RelayContext();

    // Queues one CONN request for the pool. Never blocks: the GUI thread calls it, and relay
    // threads run at a lower priority, so waiting on a lock they hold could stall the window.
    void submit(const QString &clientIp, int clientPort, const QString &serverIp,
                const QString &uid);

    QMutex mutex;
    QThreadPool pool;

private:
    struct ConnRequest
    {
        QString clientIp;
        int clientPort;
        QString serverIp;
        QString uid;
        ConnRequest *next;
    };

    RelayContext();
    static void release(RelayContext *context);
    void dispatch();

    // Pushed by the session without locks, taken whole by the dispatcher thread, which starts
    // the pool tasks (starting one may create a thread: too slow for a burst on the GUI thread).
    std::atomic<ConnRequest *> pending{nullptr};
    QSemaphore wakeups;
    std::atomic<bool> stopping{false};
    std::thread dispatcher;
};

// The two sockets of one data connection. Whichever direction ends first shuts both down, which
// wakes the other direction's blocking recv; the last direction to end closes both handles, so
// each handle is closed exactly once and never while the other direction may still use it.
class DataConnection
{
public:
    DataConnection(SOCKET local, SOCKET server, int directions = 2);
    void directionEnded();

    const SOCKET local;
    const SOCKET server;

private:
    std::atomic<bool> shutDown{false};
    std::atomic<int> directionsLeft;
};

// One direction of a data connection: copies from one socket to the other until either ends.
class ProxyTunnelWin : public QObject, public QRunnable
{
    Q_OBJECT

public:
    static constexpr int BufferBytes = 32768;
    // The pause between receiving a chunk and forwarding it.
    static constexpr int ForwardPauseMs = 1;

    // A worker without a shared connection owns both sockets alone.
    ProxyTunnelWin(SOCKET from, SOCKET to, std::shared_ptr<DataConnection> connection = {},
                   std::shared_ptr<RelayContext> context = {});
    void run() override;

private:
    SOCKET from;
    SOCKET to;
    std::shared_ptr<DataConnection> connection;
    std::shared_ptr<RelayContext> context; // keeps the pool alive while this worker runs
};

namespace relay {

// The relay server's fixed port, for control and data connections alike.
constexpr int RelayPort = 8888;
constexpr int ConnectAttempts = 4;

// A blocking TCP connect with up to four attempts, resolving names. Takes one socket library
// reference whenever the library starts (released by a relay worker). Returns the connected
// socket or platform::InvalidSocket.
SOCKET createSocket(const QString &ip, int port);

// Serves one CONN request, in this order: local connect, server connect, the CONN frame on the
// server connection, then the two workers. Blocks the calling thread for the connects.
void serveConnRequest(const std::shared_ptr<RelayContext> &context, const QString &clientIp,
                      int clientPort, const QString &serverIp, const QString &uid);

// The same on a thread of the context's pool; returns at once.
void startConnRequest(const std::shared_ptr<RelayContext> &context, const QString &clientIp,
                      int clientPort, const QString &serverIp, const QString &uid);

} // namespace relay
