#include "proxytunnelwin.h"

#include "tunnelpacket.h"

#include <QDebug>
#include <QJsonObject>

#include <thread>

#ifdef Q_OS_LINUX
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

namespace {

// The thread that owns the session side. The last reference to a context may be dropped on a
// pool thread, where destroying the pool would wait for that very thread: such a release is
// handed to a short-lived thread of its own.
thread_local bool onRelayThread = false;

#ifdef Q_OS_LINUX
constexpr int RelayThreadNice = 10;
#endif

// Relay threads yield the processor to the GUI thread: a burst of hundreds of new data
// connections must not make the window stutter. Their throughput is bound by the forwarding
// pause, not by the processor.
void lowerThreadPriority()
{
#ifdef Q_OS_LINUX
    thread_local bool lowered = false;
    if (!lowered) {
        lowered = true;
        setpriority(PRIO_PROCESS, id_t(syscall(SYS_gettid)), RelayThreadNice);
    }
#endif
}

class RelayThreadMark
{
public:
    RelayThreadMark()
    {
        onRelayThread = true;
        lowerThreadPriority();
    }
    ~RelayThreadMark() { onRelayThread = false; }
};

} // namespace

RelayContext::RelayContext()
{
    pool.setMaxThreadCount(MaxThreads);
    pool.setStackSize(WorkerStackBytes);
}

RelayContext::~RelayContext()
{
    if (dispatcher.joinable()) {
        stopping = true;
        wakeups.release();
        dispatcher.join();
    }
    ConnRequest *request = pending.exchange(nullptr);
    while (request) {
        ConnRequest *next = request->next;
        delete request;
        request = next;
    }
    // Every task of the pool held a reference, so nothing runs here any more: destroying the
    // pool only ends its idle threads.
}

std::shared_ptr<RelayContext> RelayContext::create()
{
    std::shared_ptr<RelayContext> context(new RelayContext, &RelayContext::release);
    std::weak_ptr<RelayContext> weak = context;
    context->dispatcher = std::thread([raw = context.get(), weak] {
        onRelayThread = true;
        lowerThreadPriority();
        for (;;) {
            raw->wakeups.acquire();
            if (raw->stopping)
                return;
            // A strong reference only while dispatching; its release, should it be the last,
            // is handed off (onRelayThread) and never joins this thread from itself.
            if (std::shared_ptr<RelayContext> self = weak.lock())
                self->dispatch();
        }
    });
    return context;
}

void RelayContext::release(RelayContext *context)
{
    if (onRelayThread) {
        std::thread([context] { delete context; }).detach();
        return;
    }
    delete context;
}

void RelayContext::submit(const QString &clientIp, int clientPort, const QString &serverIp,
                          const QString &uid)
{
    auto *request = new ConnRequest{clientIp, clientPort, serverIp, uid, nullptr};
    request->next = pending.load(std::memory_order_relaxed);
    while (!pending.compare_exchange_weak(request->next, request, std::memory_order_release,
                                          std::memory_order_relaxed)) {
    }
    wakeups.release();
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

void startConnRequest(const std::shared_ptr<RelayContext> &context, const QString &clientIp,
                      int clientPort, const QString &serverIp, const QString &uid)
{
    context->submit(clientIp, clientPort, serverIp, uid);
}

} // namespace relay

namespace {

class ConnRequestTask : public QRunnable
{
public:
    ConnRequestTask(std::shared_ptr<RelayContext> context, QString clientIp, int clientPort,
                    QString serverIp, QString uid)
        : context(std::move(context)), clientIp(std::move(clientIp)), clientPort(clientPort),
          serverIp(std::move(serverIp)), uid(std::move(uid))
    {
        setAutoDelete(true);
    }

    void run() override
    {
        RelayThreadMark mark;
        relay::serveConnRequest(context, clientIp, clientPort, serverIp, uid);
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

void RelayContext::dispatch()
{
    // The stack holds the newest request first: reverse it to serve requests in arrival order.
    ConnRequest *request = pending.exchange(nullptr, std::memory_order_acquire);
    ConnRequest *ordered = nullptr;
    while (request) {
        ConnRequest *next = request->next;
        request->next = ordered;
        ordered = request;
        request = next;
    }
    while (ordered) {
        ConnRequest *next = ordered->next;
        pool.start(new ConnRequestTask(shared_from_this(), ordered->clientIp, ordered->clientPort,
                                       ordered->serverIp, ordered->uid),
                   0);
        delete ordered;
        ordered = next;
    }
}
