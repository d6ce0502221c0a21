#include "core/globals.h"
#include "fakerelay.h"
#include "tunnel/proxytunnelwin.h"
#include "tunnel/requestlog.h"
#include "tunnel/tunnel.h"
#include "tunnel/tunnelpacket.h"

#include <QDir>
#include <QRandomGenerator>
#include <QtTest>

#include <atomic>
#include <memory>
#include <thread>

#ifndef Q_OS_WIN
#include <sys/resource.h>
#endif

namespace {

// Open files and sockets. Windows has no such count to compare (its process handle count is
// not kept by Wine), so there the relay's own count of open sockets is what the tests check.
int openDescriptors()
{
#ifdef Q_OS_WIN
    return 0;
#else
    return QDir(QStringLiteral("/proc/self/fd"))
        .entryList(QDir::NoDotAndDotDot | QDir::System)
        .size();
#endif
}

QByteArray randomBytes(int size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator::global()->fillRange(reinterpret_cast<quint32 *>(bytes.data()), size / 4);
    return bytes;
}

#ifndef Q_OS_WIN
// Sets the soft limit on open files for as long as it lives.
struct SoftFileLimit
{
    rlimit original{};
    explicit SoftFileLimit(rlim_t soft)
    {
        getrlimit(RLIMIT_NOFILE, &original);
        rlimit lowered = original;
        lowered.rlim_cur = std::min(soft, original.rlim_max);
        setrlimit(RLIMIT_NOFILE, &lowered);
    }
    ~SoftFileLimit() { setrlimit(RLIMIT_NOFILE, &original); }
};
#endif

// A local service on a plain thread that streams to its first visitor until a send fails, the
// way a web server sends a large file.
struct StreamingService
{
    SOCKET listener = platform::InvalidSocket;
    quint16 port = 0;
    std::thread thread;
    std::atomic<bool> sendFailed{false};

    bool listen(const char *address)
    {
        listener = rawsock::listenOn(address, 0, 4, &port);
        if (listener == platform::InvalidSocket)
            return false;
        thread = std::thread([this] {
            const SOCKET s = rawsock::accept(listener);
            const QByteArray chunk(64 * 1024, 's');
            // Bounded: 64 GiB would take minutes even on loopback.
            for (int i = 0; s != platform::InvalidSocket && i < 1024 * 1024; ++i) {
                if (rawsock::send(s, chunk.constData(), chunk.size()) < 0) {
                    sendFailed = true;
                    break;
                }
            }
            rawsock::close(s);
        });
        return true;
    }
    ~StreamingService()
    {
        rawsock::shutdownBoth(listener); // an accept still waiting returns
        if (thread.joinable())
            thread.join();
        rawsock::close(listener);
    }
};

QByteArray connFrame(const QString &uid)
{
    const QByteArray json =
        "{\n    \"type\": \"CONN\",\n    \"uid\": \"" + uid.toUtf8() + "\"\n}\n";
    return intToBytes(json.size()) + intToBytes(4) + json + "conn";
}

// A signed-in tunnel whose relay server and local service are test doubles.
struct Rig
{
    FakeRelay relay;
    FakeService service;
    TunnelRecord record;
    std::unique_ptr<Tunnel> tunnel = std::make_unique<Tunnel>();
    QList<int> events;

    bool start(const QString &address, const QHostAddress &serviceAddress = QHostAddress())
    {
        if (!service.listen(serviceAddress.isNull() ? QHostAddress(address) : serviceAddress))
            return false;
        return startWithPort(address, service.port());
    }

    bool startWithPort(const QString &address, int clientPort)
    {
        relay.describeTunnel(address, "nas.example.test", clientPort);
        if (!relay.listen(address))
            return false;
        record.serverIp = address;
        record.clientIp = address;
        record.clientPort = clientPort;
        record.domain = "nas.example.test";
        record.token = "tok";
        QObject::connect(tunnel.get(), &Tunnel::tunnel_info,
                         [this](int type, const QString &) { events << type; });
        tunnel->TunnelInit(&record);
        if (!tunnel->TunnelStart())
            return false;
        QElapsedTimer t;
        t.start();
        while (!events.contains(1) && t.elapsed() < 5000)
            QTest::qWait(10);
        return events.contains(1);
    }

    void requestConn(const QString &uid)
    {
        FakeRelay::send(relay.controls().first(),
                        FakeRelay::message({{"type", "CONN"}, {"uid", uid}}));
    }
};

} // namespace

class TstProxyTunnel : public QObject
{
    Q_OBJECT

    int references = 0;
    int descriptors = 0;

private slots:
    void initTestCase()
    {
        clientUuid = QUuid::createUuid().toString();
        LogCapture::instance().install();
    }
    void init()
    {
        LogCapture::instance().take();
        references = platform::socketLibraryReferences();
        descriptors = openDescriptors();
    }
    void cleanup()
    {
        // Every worker released the reference its connect took.
        QTRY_COMPARE_WITH_TIMEOUT(platform::socketLibraryReferences(), references, 10000);
        // Every socket is closed and the dropped sessions' pool threads are gone.
        QTRY_COMPARE_WITH_TIMEOUT(openDescriptors(), descriptors, 10000);
    }

    void bigTransferBothWays()
    {
        Rig rig;
        QVERIFY(rig.start("127.0.0.23"));
        rig.requestConn("u1");
        QTRY_COMPARE_WITH_TIMEOUT(rig.relay.datas().size(), 1, 5000);
        QTRY_COMPARE_WITH_TIMEOUT(rig.service.connections.size(), size_t(1), 5000);
        RelayConnection *visitor = rig.relay.datas().first();
        ServiceConnection *local = rig.service.connections.front().get();
        QCOMPARE(visitor->rawFrames.first(), connFrame("u1"));

        const int size = 64 * 1024 * 1024;
        const QByteArray up = randomBytes(size);
        const QByteArray down = randomBytes(size);
        visitor->socket->write(up);
        local->socket->write(down);
        QTRY_VERIFY_WITH_TIMEOUT(local->received.size() >= size && visitor->relayed.size() >= size,
                                 60000);
        QVERIFY(local->received == up);
        QVERIFY(visitor->relayed == down);

        // The visitor leaves: the local connection is closed too.
        visitor->socket->close();
        QTRY_VERIFY_WITH_TIMEOUT(local->closed, 5000);
        rig.tunnel->TunnelStop();
    }

    // Requests are noted as they pass, head by head, and the bytes arrive unchanged: three on
    // one kept-alive connection (one chunked), then a connection that is not HTTP at all.
    void requestsAreNoted()
    {
        Rig rig;
        auto requests = std::make_shared<RequestLog>();
        rig.tunnel->setRequestLog(requests);
        QVERIFY(rig.start("127.0.0.25"));
        rig.requestConn("web");
        QTRY_COMPARE_WITH_TIMEOUT(rig.relay.datas().size(), 1, 5000);
        QTRY_COMPARE_WITH_TIMEOUT(rig.service.connections.size(), size_t(1), 5000);
        RelayConnection *visitor = rig.relay.datas().first();
        ServiceConnection *local = rig.service.connections.front().get();
        const QList<QByteArray> asked{
            "GET /a?x=1 HTTP/1.1\r\nHost: nas.example.test\r\n\r\n",
            "POST /up HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n"
            "6;x=y\r\n world\r\n0\r\nT: 1\r\n\r\n",
            "HEAD /c HTTP/1.1\r\nHost: h\r\n\r\n"};
        const QList<QByteArray> answered{
            "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nabcde",
            "HTTP/1.1 201 Created\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nxyz\r\n0\r\n\r\n",
            "HTTP/1.1 404 Not Found\r\nContent-Length: 10\r\n\r\n"};
        // The chunked request arrives cut in the middle of a chunk-size line.
        visitor->socket->write(asked[0] + asked[1].left(70));
        QTRY_COMPARE_WITH_TIMEOUT(local->received.size(), asked[0].size() + 70, 5000);
        visitor->socket->write(asked[1].mid(70) + asked[2]);
        const QByteArray up = asked.join(), down = answered.join();
        const auto hash = [](const QByteArray &b) {
            return QCryptographicHash::hash(b, QCryptographicHash::Sha256);
        };
        // A service answers what it has read.
        QTRY_COMPARE_WITH_TIMEOUT(hash(local->received), hash(up), 5000);
        local->socket->write(down);
        QTRY_COMPARE_WITH_TIMEOUT(requests->entries().size(), 3, 5000);
        QTRY_COMPARE(hash(visitor->relayed), hash(down));
        const QList<RequestEntry> seen = requests->entries();
        const QList<QPair<QString, int>> expected{{"GET", 200}, {"POST", 201}, {"HEAD", 404}};
        for (int i = 0; i < 3; ++i) {
            QCOMPARE(seen[i].method, expected[i].first);
            QCOMPARE(seen[i].status, expected[i].second);
            QCOMPARE(seen[i].bytesIn, qint64(asked[i].size()));
            QCOMPARE(seen[i].bytesOut, qint64(answered[i].size()));
        }
        QCOMPARE(seen[0].path, QStringLiteral("/a?x=1"));
        QCOMPARE(seen[0].host, QStringLiteral("nas.example.test"));

        rig.requestConn("raw");
        QTRY_COMPARE_WITH_TIMEOUT(rig.relay.datas().size(), 2, 5000);
        QTRY_COMPARE_WITH_TIMEOUT(rig.service.connections.size(), size_t(2), 5000);
        visitor = rig.relay.datas().last();
        local = rig.service.connections.back().get();
        const QByteArray binary = randomBytes(256 * 1024);
        visitor->socket->write("\x16\x03\x01" + binary);
        local->socket->write(QByteArray(1000, 'r'));
        QTRY_COMPARE_WITH_TIMEOUT(local->received.size(), binary.size() + 3, 5000);
        QTRY_COMPARE_WITH_TIMEOUT(visitor->relayed.size(), 1000, 5000);
        visitor->socket->close();
        QTRY_COMPARE_WITH_TIMEOUT(requests->entries().size(), 4, 5000);
        const RequestEntry raw = requests->entries().last();
        QVERIFY(raw.isRaw());
        QCOMPARE(raw.bytesIn, qint64(binary.size() + 3));
        QCOMPARE(raw.bytesOut, qint64(1000));
        rig.tunnel->TunnelStop();
    }

    void localServiceDown()
    {
        Rig rig;
        QTcpServer probe; // a port that nobody listens on any more
        QVERIFY(probe.listen(QHostAddress("127.0.0.24")));
        const int port = probe.serverPort();
        probe.close();
        QVERIFY(rig.startWithPort("127.0.0.24", port));
        rig.requestConn("down");
        QTRY_COMPARE_WITH_TIMEOUT(rig.relay.datas().size(), 1, 5000);
        RelayConnection *visitor = rig.relay.datas().first();
        QTRY_VERIFY_WITH_TIMEOUT(visitor->closed, 5000);
        QCOMPARE(visitor->rawFrames.first(), connFrame("down"));
        QCOMPARE(visitor->relayed, QByteArray());

        QStringList expected;
        for (int i = 1; i <= 4; ++i)
            expected << QStringLiteral("connect error ! %1").arg(i)
                     << QStringLiteral("127.0.0.24 %1").arg(port);
        QStringList log = LogCapture::instance().take();
        log = log.filter(QRegularExpression("^(connect error|127\\.0\\.0\\.24 )"));
        QCOMPARE(log, expected);
        QCOMPARE(rig.events.count(-2), 0); // a data-connection failure leaves the control alone
        rig.tunnel->TunnelStop();
    }

    void eitherSideEndsBoth()
    {
        Rig rig;
        QVERIFY(rig.start("127.0.0.25"));

        // The visitor closes first.
        rig.requestConn("a");
        QTRY_COMPARE_WITH_TIMEOUT(rig.service.connections.size(), size_t(1), 5000);
        QTRY_COMPARE_WITH_TIMEOUT(rig.relay.datas().size(), 1, 5000);
        RelayConnection *visitorA = rig.relay.datas()[0];
        ServiceConnection *localA = rig.service.connections[0].get();
        visitorA->socket->write("ping");
        QTRY_COMPARE_WITH_TIMEOUT(localA->received, QByteArray("ping"), 5000);
        visitorA->socket->close();
        QTRY_VERIFY_WITH_TIMEOUT(localA->closed, 5000);

        // The local service closes first.
        rig.requestConn("b");
        QTRY_COMPARE_WITH_TIMEOUT(rig.service.connections.size(), size_t(2), 5000);
        QTRY_COMPARE_WITH_TIMEOUT(rig.relay.datas().size(), 2, 5000);
        RelayConnection *visitorB = rig.relay.datas()[1];
        ServiceConnection *localB = rig.service.connections[1].get();
        localB->socket->write("pong");
        QTRY_COMPARE_WITH_TIMEOUT(visitorB->relayed, QByteArray("pong"), 5000);
        localB->socket->close();
        QTRY_VERIFY_WITH_TIMEOUT(visitorB->closed, 5000);

        // One uid twice gives two connections; a missing uid is sent as an empty one.
        rig.requestConn("dup");
        rig.requestConn("dup");
        FakeRelay::send(rig.relay.controls().first(), FakeRelay::message({{"type", "CONN"}}));
        QTRY_COMPARE_WITH_TIMEOUT(rig.relay.datas().size(), 5, 5000);
        QTRY_COMPARE_WITH_TIMEOUT(rig.service.connections.size(), size_t(5), 5000);
        QStringList uids;
        for (RelayConnection *c : rig.relay.datas().mid(2))
            uids << c->uid();
        uids.sort();
        QCOMPARE(uids, (QStringList{"", "dup", "dup"}));
        // Served in parallel: find each by its uid.
        for (RelayConnection *c : rig.relay.datas().mid(2)) {
            QCOMPARE(c->rawFrames.size(), 1);
            QCOMPARE(c->rawFrames.first(), connFrame(c->uid()));
        }
        rig.relay.closeAll();
        for (auto &c : rig.service.connections)
            QTRY_VERIFY_WITH_TIMEOUT(c->closed, 5000);
    }

    void relayOutlivesItsSession()
    {
        Rig rig;
        QVERIFY(rig.start("127.0.0.26"));
        rig.requestConn("keep");
        QTRY_COMPARE_WITH_TIMEOUT(rig.service.connections.size(), size_t(1), 5000);
        QTRY_COMPARE_WITH_TIMEOUT(rig.relay.datas().size(), 1, 5000);
        RelayConnection *visitor = rig.relay.datas()[0];
        ServiceConnection *local = rig.service.connections[0].get();

        rig.tunnel->TunnelStop();
        QCOMPARE(rig.events.last(), -3);
        rig.tunnel.reset(); // the card forgets the session; the relay runs on

        visitor->socket->write("after stop");
        local->socket->write("still here");
        QTRY_COMPARE_WITH_TIMEOUT(local->received, QByteArray("after stop"), 5000);
        QTRY_COMPARE_WITH_TIMEOUT(visitor->relayed, QByteArray("still here"), 5000);
        local->socket->close();
        QTRY_VERIFY_WITH_TIMEOUT(visitor->closed, 5000);
    }

    void manyConcurrentConnections()
    {
        // A desktop session's soft limit, raised at start as the program does: 500 visitors
        // held on one tunnel and 500 more over two others, each costing the relay its two sockets
        // and no other descriptor.
#ifdef Q_OS_WIN
        QCOMPARE(platform::raiseOpenFileLimit(), -1); // Winsock handles have no such limit
#else
        SoftFileLimit desktop(1024);
        QVERIFY(platform::raiseOpenFileLimit() > 4 * 1000);
#endif
        Rig rigs[3];
        const int counts[3] = {500, 250, 250};
        const char *addresses[3] = {"127.0.0.27", "127.0.0.110", "127.0.0.111"};
        const int before = openDescriptors();
        for (int r = 0; r < 3; ++r) {
            rigs[r].service.echo = true;
            QVERIFY(rigs[r].start(addresses[r]));
        }
        const int sessions = openDescriptors() - before;
        for (int r = 0; r < 3; ++r)
            for (int i = 0; i < counts[r]; ++i)
                rigs[r].requestConn(QString::number(i));
        for (int r = 0; r < 3; ++r) {
            QTRY_COMPARE_WITH_TIMEOUT(rigs[r].relay.datas().size(), counts[r], 60000);
            QTRY_COMPARE_WITH_TIMEOUT(rigs[r].service.connections.size(), size_t(counts[r]), 60000);
        }

        // Each connection echoes its own payload, all of them open at the same time.
        QHash<RelayConnection *, QByteArray> payloads;
        for (Rig &rig : rigs) {
            for (RelayConnection *c : rig.relay.datas()) {
                const QByteArray payload = c->uid().toUtf8() + ':' + randomBytes(8192);
                payloads.insert(c, payload);
                c->socket->write(payload);
            }
        }
        QTRY_VERIFY_WITH_TIMEOUT(std::all_of(payloads.keyBegin(), payloads.keyEnd(),
                                             [&](RelayConnection *c) {
                                                 return c->relayed.size() >=
                                                        payloads.value(c).size();
                                             }),
                                 60000);
        for (auto it = payloads.begin(); it != payloads.end(); ++it)
            QVERIFY(it.key()->relayed == it.value());
        // Two sockets in the relay and two in the doubles here, per connection.
        QCOMPARE(relay::openSockets(), 2 * 1000);
#ifdef Q_OS_WIN
        Q_UNUSED(sessions)
#else
        QCOMPARE(openDescriptors() - before - sessions, 4 * 1000);
#endif
        for (Rig &rig : rigs) {
            for (auto &c : rig.service.connections)
                QVERIFY(!c->closed);
            QCOMPARE(rig.tunnel->relayStats().active.load(), int(rig.relay.datas().size()));
            QCOMPARE(rig.tunnel->relayStats().failed.load(), 0);
        }

        for (Rig &rig : rigs) {
            rig.relay.closeAll();
            for (auto &c : rig.service.connections)
                QTRY_VERIFY_WITH_TIMEOUT(c->closed, 10000);
            rig.tunnel->TunnelStop();
        }
    }

    void descriptorShortageFailsOneConnection()
    {
        // With the open-file limit nearly reached, a new data connection is refused with a log
        // line and a count; the tunnel and the connections it already has go on.
#ifdef Q_OS_WIN
        QSKIP("Winsock handles are not counted against an open-file limit");
#else
        Rig rig;
        rig.service.echo = true;
        QVERIFY(rig.start("127.0.0.112"));
        SoftFileLimit tight(rlim_t(RelayContext::ReservedDescriptors + 2 * 3));
        for (int i = 0; i < 5; ++i)
            rig.requestConn(QString::number(i));
        QTRY_COMPARE_WITH_TIMEOUT(rig.tunnel->relayStats().failed.load(), qint64(2), 5000);
        QTRY_COMPARE_WITH_TIMEOUT(rig.relay.datas().size(), 3, 5000);
        QCOMPARE(LogCapture::instance().take().filter("数据连接失败：打开的文件过多").size(), 2);
        RelayConnection *held = rig.relay.datas().first();
        held->socket->write("still relaying");
        QTRY_COMPARE_WITH_TIMEOUT(held->relayed, QByteArray("still relaying"), 5000);

        // Descriptors given back make room again.
        for (RelayConnection *c : rig.relay.datas())
            c->socket->close();
        QTRY_COMPARE_WITH_TIMEOUT(relay::openSockets(), 0, 5000);
        rig.requestConn("again");
        QTRY_COMPARE_WITH_TIMEOUT(rig.relay.datas().size(), 4, 5000);
        QCOMPARE(rig.tunnel->relayStats().total.load(), qint64(6));
        rig.relay.closeAll();
        rig.tunnel->TunnelStop();
#endif
    }

    void visitorAbortReachesTheLocalService()
    {
        // The visitor leaves in the middle of a download: the local service's next send fails
        // instead of waiting on a connection nobody reads.
        StreamingService service;
        QVERIFY(service.listen("127.0.0.113"));
        Rig rig;
        QVERIFY(rig.startWithPort("127.0.0.113", service.port));
        rig.requestConn("download");
        QTRY_COMPARE_WITH_TIMEOUT(rig.relay.datas().size(), 1, 5000);
        RelayConnection *visitor = rig.relay.datas().first();
        QTRY_VERIFY_WITH_TIMEOUT(visitor->relayed.size() >= 300 * 1024, 10000);
        visitor->socket->close();
        QTRY_VERIFY_WITH_TIMEOUT(service.sendFailed.load(), 3000);
        rig.tunnel->TunnelStop();
    }

    void replyBeforeCloseArrivesWhole()
    {
        // A local service that writes its reply and closes at once: the visitor gets every byte,
        // and the other way round.
        Rig rig;
        QVERIFY(rig.start("127.0.0.114"));
        const int size = 8 * 1024 * 1024;
        const QByteArray reply = randomBytes(size);
        const QByteArray upload = randomBytes(size);

        rig.requestConn("reply");
        QTRY_COMPARE_WITH_TIMEOUT(rig.relay.datas().size(), 1, 5000);
        QTRY_COMPARE_WITH_TIMEOUT(rig.service.connections.size(), size_t(1), 5000);
        RelayConnection *visitor = rig.relay.datas()[0];
        ServiceConnection *local = rig.service.connections[0].get();
        local->socket->write(reply);
        local->socket->disconnectFromHost();
        QTRY_VERIFY_WITH_TIMEOUT(visitor->closed, 20000);
        QCOMPARE(visitor->relayed.size(), size);
        QVERIFY(visitor->relayed == reply);

        rig.requestConn("upload");
        QTRY_COMPARE_WITH_TIMEOUT(rig.relay.datas().size(), 2, 5000);
        QTRY_COMPARE_WITH_TIMEOUT(rig.service.connections.size(), size_t(2), 5000);
        visitor = rig.relay.datas()[1];
        local = rig.service.connections[1].get();
        visitor->socket->write(upload);
        visitor->socket->disconnectFromHost();
        QTRY_VERIFY_WITH_TIMEOUT(local->closed, 20000);
        QCOMPARE(local->received.size(), size);
        QVERIFY(local->received == upload);
        rig.tunnel->TunnelStop();
    }

    void releaseAfterBurstDoesNotWait()
    {
        // Dropping a session right after a burst leaves its idle relay threads to end by
        // themselves: the GUI thread joins none of them.
        Rig rig;
        rig.service.echo = true;
        QVERIFY(rig.start("127.0.0.115"));
        for (int i = 0; i < 400; ++i)
            rig.requestConn(QString::number(i));
        QTRY_COMPARE_WITH_TIMEOUT(rig.relay.datas().size(), 400, 30000);
        rig.relay.closeAll();
        QTRY_COMPARE_WITH_TIMEOUT(rig.tunnel->relayStats().active.load(), 0, 10000);
        QElapsedTimer release;
        release.start();
        rig.tunnel->TunnelStop();
        rig.tunnel.reset();
        // Generous: joining 800 idle threads took over 100 ms.
        QVERIFY2(release.elapsed() < 50, qPrintable(QString::number(release.elapsed())));
    }

    void localServiceByName()
    {
        // A local address given as a host name connects (IPv4 or IPv6, whichever resolves).
        Rig rig;
        QVERIFY(rig.service.listen(QHostAddress::LocalHost));
        QVERIFY(rig.startWithPort("127.0.0.28", rig.service.port()));
        rig.record.clientIp = "localhost";
        rig.requestConn("named");
        QTRY_COMPARE_WITH_TIMEOUT(rig.service.connections.size(), size_t(1), 5000);
        QTRY_COMPARE_WITH_TIMEOUT(rig.relay.datas().size(), 1, 5000);
        rig.relay.datas()[0]->socket->write("by name");
        QTRY_COMPARE_WITH_TIMEOUT(rig.service.connections[0]->received, QByteArray("by name"),
                                  5000);
        rig.relay.closeAll();
        QTRY_VERIFY_WITH_TIMEOUT(rig.service.connections[0]->closed, 5000);
        QVERIFY(LogCapture::instance().peek().filter("connect error").isEmpty());
        rig.tunnel->TunnelStop();
    }

    void createSocketFailsWithInvalidHandle()
    {
        Tunnel tunnel;
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress("127.0.0.28")));
        const int port = probe.serverPort();
        probe.close();
        const int before = platform::socketLibraryReferences();
        QCOMPARE(tunnel.createSocket("127.0.0.28", port), platform::InvalidSocket);
        QCOMPARE(platform::socketLibraryReferences(), before + 1);
        platform::socketLibraryRelease();
        QCOMPARE(LogCapture::instance().take().filter("connect error !").size(), 4);
    }

    void workerPairClosesEachHandleOnce()
    {
        // Two workers on one pair of socketpairs: whichever ends first wakes the other.
        SOCKET a[2], b[2];
        QVERIFY(rawsock::pair(a));
        QVERIFY(rawsock::pair(b));
        QThreadPool pool;
        auto pair = std::make_shared<DataConnection>(a[1], b[1]);
        platform::socketLibraryStart();
        platform::socketLibraryStart();
        pool.start(new ProxyTunnelWin(a[1], b[1], pair));
        pool.start(new ProxyTunnelWin(b[1], a[1], pair));
        pair.reset();
        QCOMPARE(rawsock::send(a[0], "x", 1), 1);
        char c = 0;
        QCOMPARE(rawsock::recv(b[0], &c, 1), 1);
        QCOMPARE(c, 'x');
        rawsock::close(a[0]); // ends one direction; the other is blocked in recv on b[1]
        QCOMPARE(rawsock::recv(b[0], &c, 1), 0); // the end is passed on to b[1]'s peer
        rawsock::close(b[0]);                    // whose own end finishes the pair
        QVERIFY(pool.waitForDone(5000));
        QVERIFY(!rawsock::isOpen(a[1]));
        QVERIFY(!rawsock::isOpen(b[1]));
    }
};

QTEST_GUILESS_MAIN(TstProxyTunnel)
#include "tst_proxytunnel.moc"
