#include "proxytunnelwin.h"

#include "tunnelpacket.h"

#include <QDebug>
#include <QJsonObject>

#include <thread>

namespace {

// The thread that owns the session side. The last reference to a context may be dropped on a
// pool thread, where destroying the pool would wait for that very thread: such a release is
// handed to a short-lived thread of its own.
thread_local bool onRelayThread = false;

class RelayThreadMark
{
public:
    RelayThreadMark() { onRelayThread = true; }
    ~RelayThreadMark() { onRelayThread = false; }
};

} // namespace

RelayContext::RelayContext()
{
    pool.setMaxThreadCount(MaxThreads);
    pool.setStackSize(WorkerStackBytes);
}

std::shared_ptr<RelayContext> RelayContext::create()
{
    return std::shared_ptr<RelayContext>(new RelayContext, &RelayContext::release);
}

void RelayContext::release(RelayContext *context)
{
    if (onRelayThread) {
        std::thread([context] { delete context; }).detach();
        return;
    }
    // Every task of the pool held a reference, so nothing runs here any more: this does not
    // wait on a relay.
    delete context;
}

DataConnection::DataConnection(SOCKET local, SOCKET server, int directions)
    : local(local), server(server), directionsLeft(directions)
{
}

void DataConnection::directionEnded()
{
    if (!shutDown.exchange(true)) {
        // Wakes the other direction, which may be blocked in recv on either socket. Closing
        // alone would not: on Linux a close from another thread leaves a blocked recv waiting.
        platform::shutdownSocket(local);
        platform::shutdownSocket(server);
    }
    if (directionsLeft.fetch_sub(1) == 1) {
        platform::closeSocket(local);
        platform::closeSocket(server);
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

void ProxyTunnelWin::run()
{
    RelayThreadMark mark;
    char buffer[BufferBytes];
    for (;;) {
        const int received = platform::recvSome(from, buffer, BufferBytes);
        if (received <= 0)
            break;
        platform::sleepMs(ForwardPauseMs);
        platform::sendAll(to, buffer, received);
    }
    connection->directionEnded();
    connection.reset();
    platform::socketLibraryRelease();
    context.reset();
}

namespace relay {

SOCKET createSocket(const QString &ip, int port)
{
    if (!platform::socketLibraryStart())
        return platform::InvalidSocket;
    for (int attempt = 1; attempt <= ConnectAttempts; ++attempt) {
        const SOCKET s = platform::connectTcp(ip, port);
        if (s != platform::InvalidSocket)
            return s;
        qDebug().noquote() << "connect error !" << attempt;
        qDebug().noquote() << ip << port;
    }
    return platform::InvalidSocket;
}

void serveConnRequest(const std::shared_ptr<RelayContext> &context, const QString &clientIp,
                      int clientPort, const QString &serverIp, const QString &uid)
{
    const SOCKET local = createSocket(clientIp, clientPort);
    const SOCKET server = createSocket(serverIp, RelayPort);

    QJsonObject conn;
    conn.insert(QStringLiteral("type"), QStringLiteral("CONN"));
    conn.insert(QStringLiteral("uid"), uid);
    TunnelPacket(conn, QByteArrayLiteral("conn"), server, &context->mutex).SendPacket();

    // A side that did not come up makes its worker's first recv fail, which ends the pair at
    // once: the relay server sees its connection closed right after the CONN frame.
    const auto pair = std::make_shared<DataConnection>(local, server);
    context->pool.start(new ProxyTunnelWin(local, server, pair, context), 0);
    context->pool.start(new ProxyTunnelWin(server, local, pair, context), 0);
}

namespace {

class ConnRequest : public QRunnable
{
public:
    ConnRequest(std::shared_ptr<RelayContext> context, QString clientIp, int clientPort,
                QString serverIp, QString uid)
        : context(std::move(context)), clientIp(std::move(clientIp)), clientPort(clientPort),
          serverIp(std::move(serverIp)), uid(std::move(uid))
    {
        setAutoDelete(true);
    }

    void run() override
    {
        RelayThreadMark mark;
        serveConnRequest(context, clientIp, clientPort, serverIp, uid);
        context.reset();
    }

private:
    std::shared_ptr<RelayContext> context;
    const QString clientIp;
    const int clientPort;
    const QString serverIp;
    const QString uid;
};

} // namespace

void startConnRequest(const std::shared_ptr<RelayContext> &context, const QString &clientIp,
                      int clientPort, const QString &serverIp, const QString &uid)
{
    context->pool.start(new ConnRequest(context, clientIp, clientPort, serverIp, uid), 0);
}

} // namespace relay
