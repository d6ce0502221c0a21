#include "proxytunnelwin.h"

#include "tunnelpacket.h"

#include <QDebug>
#include <QJsonObject>

#include <chrono>

namespace {

std::atomic<int> relaySockets{0};

constexpr int DeliveryWaitMs = 5000;
constexpr int DeliveryPollMs = 5;

qint64 steadyMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::unique_ptr<RelaySocket> adopt(SOCKET handle)
{
    if (handle != platform::InvalidSocket)
        ++relaySockets;
    return std::make_unique<RelaySocket>(handle, platform::SocketLibrary::Adopt);
}

// Up to four blocking attempts, each failure logged. error: the system's word on the last one.
SOCKET connectWithAttempts(const QString &ip, int port, QString *error = nullptr)
{
    for (int attempt = 1; attempt <= relay::ConnectAttempts; ++attempt) {
        const SOCKET s = platform::connectTcp(ip, port, error);
        if (s != platform::InvalidSocket)
            return s;
        qDebug().noquote() << "connect error !" << attempt;
        qDebug().noquote() << ip << port;
    }
    return platform::InvalidSocket;
}

// A socket of a data connection. It holds the socket library reference of its connect, or none
// when the library could not start (and then never connects).
std::unique_ptr<RelaySocket> connectRelaySocket(const QString &ip, int port,
                                                QString *error = nullptr)
{
    auto s =
        std::make_unique<RelaySocket>(platform::InvalidSocket, platform::SocketLibrary::Acquire);
    if (s->library.isStarted())
        s->handle = connectWithAttempts(ip, port, error);
    return s;
}

// Counts the two sockets of a new data connection in, if they fit below the open-file limit
// with the rest of the program's reserve left. Checked and counted in one step: connectors run
// side by side.
bool reserveTwoSockets()
{
    const int limit = platform::openFileLimit();
    int open = relaySockets.load();
    do {
        if (limit >= 0 && open + 2 > limit - RelayContext::ReservedDescriptors)
            return false;
    } while (!relaySockets.compare_exchange_weak(open, open + 2));
    return true;
}

void logFailure(const char *reason, const QString &uid)
{
    qWarning().noquote() << "数据连接失败：" + QString::fromUtf8(reason) << uid;
}

// Serves one CONN request on a pool thread.
class ConnectorTask : public QRunnable
{
public:
    ConnectorTask(std::shared_ptr<RelayContext> context, ConnRequest request)
        : context(std::move(context)), request(std::move(request))
    {
        setAutoDelete(true);
    }

    void run() override
    {
        relay::serveConnRequest(context, request);
        context.reset();
    }

private:
    std::shared_ptr<RelayContext> context;
    const ConnRequest request;
};

} // namespace

void RelayStats::setLocalFailure(const QString &address, const QString &error)
{
    QMutexLocker locker(&failureLock);
    failure = error.isEmpty() ? address : address + QStringLiteral(" (") + error + ')';
}

QString RelayStats::localFailure() const
{
    QMutexLocker locker(&failureLock);
    return failure;
}

std::shared_ptr<RelayContext> RelayContext::create()
{
    return std::shared_ptr<RelayContext>(new RelayContext);
}

void RelayContext::submit(ConnRequest request)
{
    // Taking the request to the pool is the dispatcher's job; an idle dispatcher is woken at the
    // cost of a lock and a notify.
    auto self = shared_from_this();
    const QString uid = request.uid;
    QRunnable *handOff = QRunnable::create([self, request = std::move(request)] {
        auto *connector = new ConnectorTask(self, request);
        if (!self->pool.start(connector)) {
            delete connector;
            ++self->stats.total;
            ++self->stats.failed;
            logFailure("没有可用的线程", request.uid);
        }
    });
    if (!dispatcher.start(handOff)) {
        delete handOff;
        ++stats.total;
        ++stats.failed;
        logFailure("没有可用的线程", uid);
    }
}

DataConnection::DataConnection(SOCKET local, SOCKET server, int directions)
    : DataConnection(adopt(local), adopt(server), directions)
{
}

DataConnection::DataConnection(std::unique_ptr<RelaySocket> local,
                               std::unique_ptr<RelaySocket> server, int directions)
    : local(std::move(local)), server(std::move(server)), directionsLeft(directions),
      lastActiveMs(steadyMs())
{
}

DataConnection::~DataConnection()
{
    if (counted)
        --counted->stats.active;
}

void DataConnection::closeBoth()
{
    for (RelaySocket *s : {local.get(), server.get()}) {
        if (s->handle == platform::InvalidSocket)
            continue;
        if (s->finishedSending) {
            // What we sent must arrive whole: a reset now would drop whatever is still on its
            // way, so the close waits (boundedly) until the peer has acknowledged it.
            for (int waited = 0;
                 waited < DeliveryWaitMs && platform::unacknowledgedBytes(s->handle) > 0;
                 waited += DeliveryPollMs)
                platform::sleepMs(DeliveryPollMs);
            platform::closeSocketGracefully(s->handle);
        } else
            platform::abortSocket(s->handle);
        --relaySockets;
    }
}

void DataConnection::countIn(std::shared_ptr<RelayContext> context)
{
    ++context->stats.active;
    counted = std::move(context);
}

RelaySocket *DataConnection::socketOf(SOCKET handle) const
{
    return handle == local->handle ? local.get() : server.get();
}

void DataConnection::abortLocked()
{
    if (aborted.exchange(true))
        return;
    // Wakes the other direction wherever it is blocked, in recv or in send. Closing alone would
    // not: on Linux a close from another thread leaves a blocked recv waiting. No end of stream
    // may go out here: a peer that read one ahead of the reset would take a cut stream for a
    // complete one. Only a send blocked on a full buffer needs one to wake, and that end waits
    // behind the unsent data the reset drops.
    for (RelaySocket *s : {local.get(), server.get()}) {
        platform::interruptReceive(s->handle);
        if (s->sending)
            platform::shutdownSend(s->handle);
    }
}

bool DataConnection::forward(SOCKET to, const char *data, int length)
{
    // Either this send sees the abort, or the abort sees the send and wakes it.
    RelaySocket *destination = socketOf(to);
    destination->sending = true;
    const bool sent = !aborted && platform::sendAll(to, data, length) == length;
    destination->sending = false;
    if (sent)
        markActive();
    return sent;
}

void DataConnection::markActive()
{
    lastActiveMs.store(steadyMs(), std::memory_order_relaxed);
}

void DataConnection::directionEnded(SOCKET to, End how)
{
    std::unique_lock<std::mutex> lock(mutex);
    --directionsLeft;
    if (how == End::Failed || aborted) {
        abortLocked();
    } else {
        RelaySocket *destination = socketOf(to);
        platform::shutdownSend(destination->handle);
        destination->finishedSending = true;
        markActive(); // the idle time starts with the end of this direction at the earliest
        // Woken when the other direction ends; otherwise whenever its idle time may be up.
        while (directionsLeft > 0) {
            const qint64 idleMs = steadyMs() - lastActiveMs.load(std::memory_order_relaxed);
            if (idleMs >= halfClosedIdleMs) {
                abortLocked();
                break;
            }
            ended.wait_for(lock, std::chrono::milliseconds(halfClosedIdleMs - idleMs),
                           [this] { return directionsLeft == 0; });
        }
    }
    ended.notify_all();
    // The last direction out closes both: nothing uses the handles any more.
    if (directionsLeft == 0 && !closed) {
        closed = true;
        closeBoth();
    }
}

ProxyTunnelWin::ProxyTunnelWin(SOCKET from, SOCKET to, std::shared_ptr<DataConnection> connection,
                               std::shared_ptr<RelayContext> context)
    : from(from), to(to), connection(std::move(connection)), context(std::move(context))
{
    if (!this->connection)
        this->connection = std::make_shared<DataConnection>(from, to, 1);
    setAutoDelete(true);
}

ProxyTunnelWin::~ProxyTunnelWin()
{
    if (connection)
        connection->directionEnded(to, DataConnection::End::Failed);
}

void ProxyTunnelWin::run()
{
    char buffer[BufferBytes];
    // Counted per direction: visitors to the local service come in through the relay server.
    std::atomic<qint64> *forwarded = nullptr;
    if (context)
        forwarded =
            from == connection->server->handle ? &context->stats.bytesIn : &context->stats.bytesOut;
    HttpInspector *inspector = connection->inspector.get();
    const bool fromVisitor = from == connection->server->handle;
    DataConnection::End how = DataConnection::End::Failed;
    for (;;) {
        const int received = platform::recvSome(from, buffer, BufferBytes);
        if (received == 0 && !connection->isAborted())
            how = DataConnection::End::SourceFinished;
        if (received <= 0)
            break;
        platform::sleepMs(ForwardPauseMs);
        // A request is noted before it goes on, so that its answer always finds it; an answer
        // after it is on its way. Either reads no more than heads and chunk-size lines.
        if (inspector && fromVisitor)
            inspector->visitorBytes(buffer, received);
        if (!connection->forward(to, buffer, received))
            break;
        if (forwarded)
            forwarded->fetch_add(received, std::memory_order_relaxed);
        if (inspector && !fromVisitor)
            inspector->serviceBytes(buffer, received);
    }
    connection->directionEnded(to, how);
    connection.reset();
    context.reset();
}

namespace relay {

SOCKET createSocket(const QString &ip, int port)
{
    if (!platform::socketLibraryStart())
        return platform::InvalidSocket;
    return connectWithAttempts(ip, port);
}

void serveConnRequest(const std::shared_ptr<RelayContext> &context, const ConnRequest &request)
{
    ++context->stats.total;
    if (!reserveTwoSockets()) {
        ++context->stats.failed;
        logFailure("打开的文件过多", request.uid);
        return;
    }
    QString localError;
    std::unique_ptr<RelaySocket> local =
        connectRelaySocket(request.clientIp, request.clientPort, &localError);
    if (local->handle == platform::InvalidSocket) {
        ++context->stats.localFailures;
        context->stats.setLocalFailure(request.clientIp + ':' + QString::number(request.clientPort),
                                       localError);
    } else
        ++context->stats.localConnects;
    context->stats.localReachable = local->handle != platform::InvalidSocket;
    std::unique_ptr<RelaySocket> server = connectRelaySocket(request.serverIp, RelayPort);

    QJsonObject conn;
    conn.insert(QStringLiteral("type"), QStringLiteral("CONN"));
    conn.insert(QStringLiteral("uid"), request.uid);
    TunnelPacket(conn, QByteArrayLiteral("conn"), server->handle, &server->sendLock).SendPacket();

    const SOCKET localHandle = local->handle;
    const SOCKET serverHandle = server->handle;
    // A side that did not connect gives its reservation back.
    relaySockets -=
        int(localHandle == platform::InvalidSocket) + int(serverHandle == platform::InvalidSocket);
    if (localHandle == platform::InvalidSocket || serverHandle == platform::InvalidSocket) {
        ++context->stats.failed;
        // Nothing will be relayed: the side that did come up is told so after what it was sent
        // (the relay server, after the CONN frame), rather than reset.
        for (RelaySocket *s : {local.get(), server.get()}) {
            platform::shutdownSend(s->handle);
            s->finishedSending = true;
        }
    }
    // A side that did not come up makes its worker's first recv fail, which ends the pair at
    // once: the relay server sees its connection closed right after the CONN frame.
    const auto pair = std::make_shared<DataConnection>(std::move(local), std::move(server));
    pair->countIn(context);
    std::shared_ptr<RequestLog> requests = std::atomic_load(&context->requests);
    if (requests && localHandle != platform::InvalidSocket &&
        serverHandle != platform::InvalidSocket)
        pair->inspector = std::make_unique<HttpInspector>(std::move(requests));
    auto *up = new ProxyTunnelWin(localHandle, serverHandle, pair, context);
    auto *down = new ProxyTunnelWin(serverHandle, localHandle, pair, context);
    for (ProxyTunnelWin *worker : {up, down}) {
        if (context->pool.start(worker))
            continue;
        delete worker; // ends its direction: the other one is woken and ends too
        ++context->stats.failed;
        logFailure("没有可用的线程", request.uid);
    }
}

int openSockets()
{
    return relaySockets.load();
}

} // namespace relay
