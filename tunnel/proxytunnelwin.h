#pragma once

#include "tunnel/requestlog.h"

#include "platform/platform.h"
#include "tunnel/relaypool.h"

#include <QMutex>
#include <QObject>
#include <QRunnable>
#include <QString>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>

// One CONN request of the relay server, as the session read it from its control connection, with
// the record's addresses at that moment. Built once and carried unchanged to the data connection.
struct ConnRequest
{
    QString uid;
    QString clientIp;
    int clientPort = 0;
    QString serverIp;
};

// Counts of a tunnel's data connections. Written by the relay threads without a lock.
// Counts of a tunnel's data connections. Written by the relay threads with atomics only (never
// a lock on the data path) and sampled by the GUI thread.
struct RelayStats
{
    std::atomic<int> active{0};           // data connections open now
    std::atomic<qint64> total{0};         // CONN requests served since the session started
    std::atomic<qint64> failed{0};        // requests whose data connection could not be set up
    std::atomic<qint64> localFailures{0}; // of those, connects to the local service that failed
    std::atomic<qint64> localConnects{0}; // connects to the local service that succeeded
    std::atomic<qint64> bytesIn{0};       // visitors to the local service
    std::atomic<qint64> bytesOut{0};      // the local service to visitors
    // Whether the latest local connect succeeded; with the failure's address and system error.
    std::atomic<bool> localReachable{true};

    void setLocalFailure(const QString &address, const QString &error);
    // "address (error)" of the latest failed local connect.
    QString localFailure() const;

private:
    mutable QMutex failureLock; // taken on a failed connect only
    QString failure;
};

// What a tunnel session shares with its data connections: the threads they run on and their
// counts. Held through a shared pointer by the session and by every task, so data connections
// outlive the session that opened them; whoever drops the last reference only drops it, on any
// thread, and waits for nothing.
//
// Threads of one tunnel's relay:
// - the dispatcher, one thread: takes each CONN request from the GUI thread and starts its
//   connector on the pool (starting one may create a thread: too slow for a burst on the GUI
//   thread);
// - the pool, up to MaxThreads: one connector per request (the two blocking connects and the
//   CONN frame), then two workers per data connection, one per direction.
class RelayContext : public std::enable_shared_from_this<RelayContext>
{
public:
    static constexpr int MaxThreads = 1000;
    // A worker's stack holds its 32 KiB copy buffer and little else; a connector's holds the
    // system's name lookup.
    static constexpr size_t WorkerStackBytes = 128 * 1024;
    // Descriptors left to the rest of the program (the window, the log file, the control
    // connections) when data connections are many: past this, a new one is refused.
    static constexpr int ReservedDescriptors = 96;

    static std::shared_ptr<RelayContext> create();

    // Hands one CONN request to the dispatcher. Never blocks: the GUI thread calls it.
    void submit(ConnRequest request);

    RelayPool pool{MaxThreads, WorkerStackBytes};
    RelayStats stats;
    // Where the data connections note their HTTP requests; null when nobody looks. Read and
    // written with std::atomic_load / std::atomic_store.
    std::shared_ptr<RequestLog> requests;

private:
    RelayContext() = default;

    RelayPool dispatcher{1, WorkerStackBytes};
};

// One socket of a data connection: the handle, the socket library reference its connect took,
// and the lock its frames are written under.
struct RelaySocket
{
    RelaySocket(SOCKET handle, platform::SocketLibrary::Start library)
        : handle(handle), library(library)
    {
    }

    SOCKET handle;
    const platform::SocketLibrary library;
    QMutex sendLock;
    bool finishedSending = false;     // the peer gets our end of stream after everything we sent
    std::atomic<bool> sending{false}; // a direction is inside a send to this socket
};

// The two sockets of one data connection and how it ends. A direction that reads the end of its
// source passes the end on to its destination after everything it forwarded; the other direction
// stays open until it ends by itself, or until nothing has moved either way for
// HalfClosedIdleMs, so an answer that comes after the question's end still arrives whole. A
// direction that fails ends the connection at once. The sockets are closed when the last
// direction has gone: each exactly once, with a reset where the peer must stop sending or must
// not take a cut stream for a complete one, gracefully where it must still receive everything
// we sent.
//
// A half-closed connection keeps both of its threads (the finished one waits for the other), as
// an open one does: the pool's thread limit bounds both alike, and the idle limit ends those
// that are left hanging.
class DataConnection
{
public:
    enum class End { SourceFinished, Failed };
    // After one direction has finished, the other is cut once nothing has moved this long: the
    // time the relay server allows a half-closed visitor.
    static constexpr int HalfClosedIdleMs = 30000;

    // Each handle comes with one socket library reference, as those of relay::createSocket do.
    DataConnection(SOCKET local, SOCKET server, int directions = 2);
    DataConnection(std::unique_ptr<RelaySocket> local, std::unique_ptr<RelaySocket> server,
                   int directions = 2);
    ~DataConnection();

    // Sends one chunk whole to `to`; false when the send failed or the connection is being
    // aborted. Lock-free.
    bool forward(SOCKET to, const char *data, int length);
    void directionEnded(SOCKET to, End how);
    bool isAborted() const { return aborted; }
    // Counts this connection among the context's active ones for as long as it lives.
    void countIn(std::shared_ptr<RelayContext> context);

    const std::unique_ptr<RelaySocket> local;
    const std::unique_ptr<RelaySocket> server;
    // Reads the requests as they pass, when the tunnel keeps them; set before the directions
    // start, and done with the connection.
    std::unique_ptr<HttpInspector> inspector;
    // Set before the directions start; tests shorten it.
    int halfClosedIdleMs = HalfClosedIdleMs;

private:
    RelaySocket *socketOf(SOCKET handle) const;
    void closeBoth();
    void abortLocked();
    void markActive();

    std::mutex mutex;
    std::condition_variable ended;
    int directionsLeft;
    bool closed = false;
    std::atomic<bool> aborted{false};
    // Steady-clock milliseconds of the latest chunk forwarded either way.
    std::atomic<qint64> lastActiveMs;
    std::shared_ptr<RelayContext> counted;
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
    // A worker dropped without running ends its direction, so the other one is not left alone.
    ~ProxyTunnelWin() override;
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
// reference whenever the library starts (its holder releases it). Returns the connected socket
// or platform::InvalidSocket.
SOCKET createSocket(const QString &ip, int port);

// Serves one CONN request, in this order: local connect, server connect, the CONN frame on the
// server connection, then the two workers. Blocks the calling thread for the connects.
void serveConnRequest(const std::shared_ptr<RelayContext> &context, const ConnRequest &request);

// Relay sockets open in this process now, across every tunnel.
int openSockets();

} // namespace relay
