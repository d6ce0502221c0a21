// The whole road on one machine: the client's own API helper and tunnel engine against the
// real reference service. A local service in the test stands behind the tunnel; visitors
// connect to the tunnel's public port. Covers sign-in, tunnel list, start, bytes both ways for
// many visitors, a second sign-in elsewhere (STOP), and the service being killed and started
// again (silence, reconnect, traffic again). Then the API over TLS, and two web tunnels reached
// by their domains on the shared HTTP and HTTPS ports.
#include "relaypeer.h"
#include "serverprocess.h"
#include "testca.h"

#include "core/globals.h"
#include "net/httprequest.h"
#include "tunnel/tunnel.h"
#include "tunnel/tunnelrecord.h"

#include <QRandomGenerator>
#include <QSslKey>
#include <QSslSocket>
#include <QTcpServer>
#include <QTest>

#include <csignal>
#include <memory>
#include <vector>

namespace {

const QString Address = QStringLiteral("127.0.0.150");
const QString LocalAddress = QStringLiteral("127.0.0.151");
const QByteArray Greeting = "hello from the local service\n";
constexpr quint16 HttpPort = 8090;
constexpr quint16 HttpsPort = 8443;

// The service behind the tunnel: greets every connection, then echoes what it receives.
class LocalService : public QObject
{
public:
    explicit LocalService(const QByteArray &greeting = Greeting) : greeting(greeting) {}

    bool listen()
    {
        connect(&server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *s = server.nextPendingConnection()) {
                ++connections;
                s->write(greeting);
                connect(s, &QTcpSocket::readyRead, s, [s] { s->write(s->readAll()); });
                connect(s, &QTcpSocket::disconnected, s, &QObject::deleteLater);
            }
        });
        return server.listen(QHostAddress(LocalAddress), 0);
    }
    quint16 port() const { return server.serverPort(); }

    QByteArray greeting;
    QTcpServer server;
    int connections = 0;
};

// A local site over TLS with its own certificate: greets once the handshake is done.
class TlsSite : public QTcpServer
{
public:
    TlsSite(const QString &cert, const QString &key, const QByteArray &greeting)
        : greeting(greeting)
    {
        QFile k(key);
        k.open(QIODevice::ReadOnly);
        certificate = QSslCertificate::fromPath(cert).value(0);
        privateKey = QSslKey(k.readAll(), QSsl::Ec);
    }

protected:
    void incomingConnection(qintptr descriptor) override
    {
        auto *s = new QSslSocket(this);
        s->setSocketDescriptor(descriptor);
        s->setLocalCertificate(certificate);
        s->setPrivateKey(privateKey);
        connect(s, &QSslSocket::encrypted, s, [s, this] { s->write(greeting); });
        connect(s, &QSslSocket::disconnected, s, &QObject::deleteLater);
        s->startServerEncryption();
    }

private:
    QByteArray greeting;
    QSslCertificate certificate;
    QSslKey privateKey;
};

// What a web visitor asking the shared HTTP port for host gets back: until the service
// closes (its own answers) or the echo of the head is in (the local services greet first,
// then echo). The event loop runs meanwhile: the tunnel's session lives on it.
QByteArray webGet(const QByteArray &host)
{
    QTcpSocket visitor;
    QByteArray got;
    QObject::connect(&visitor, &QTcpSocket::readyRead, [&] { got += visitor.readAll(); });
    visitor.connectToHost(Address, HttpPort);
    visitor.write("GET / HTTP/1.1\r\nHost: " + host + "\r\n\r\n");
    if (!QTest::qWaitFor(
            [&] {
                return visitor.state() == QAbstractSocket::UnconnectedState ||
                       got.endsWith("\r\n\r\n");
            },
            5000))
        return {};
    return got + visitor.readAll();
}

// What the local TLS site behind host says through the shared HTTPS port; empty when the
// handshake fails.
QByteArray tlsGet(const QString &host)
{
    QSslSocket socket;
    socket.connectToHostEncrypted(Address, HttpsPort, host);
    if (!QTest::qWaitFor(
            [&] {
                return socket.bytesAvailable() > 0 ||
                       socket.state() == QAbstractSocket::UnconnectedState;
            },
            10000))
        return {};
    return socket.isEncrypted() ? socket.readAll() : QByteArray();
}

// One visitor: sends a random payload and expects the greeting followed by the echo.
struct Visitor
{
    QTcpSocket socket;
    QByteArray sent;
    QByteArray received;

    void start(quint16 port, int bytes)
    {
        sent.resize(bytes);
        for (int i = 0; i < bytes; ++i)
            sent[i] = char(QRandomGenerator::global()->bounded(256));
        QObject::connect(&socket, &QTcpSocket::connected, [this] { socket.write(sent); });
        QObject::connect(&socket, &QTcpSocket::readyRead, [this] { received += socket.readAll(); });
        socket.connectToHost(Address, port);
    }
    bool done() const { return received.size() >= Greeting.size() + sent.size(); }
    bool intact() const { return received == Greeting + sent; }
};

struct Events
{
    QList<QPair<int, QString>> list;
    int count(int type) const
    {
        int n = 0;
        for (const auto &e : list)
            n += e.first == type;
        return n;
    }
    bool has(int type, const QString &info) const { return list.contains({type, info}); }
};

} // namespace

class TestEndToEnd : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void road();
    void webTunnelsOverTls();

private:
    // Points a tunnel at a local port, as the edit form does.
    QVariantMap changeTunnel(const TunnelRecord &tunnel, quint16 port, const QString &name,
                             const QString &type);
    // Signs the demo account in as the sign-in window does; false when refused.
    bool signIn();
    // Visitors through the public port; true when every one got its bytes back intact.
    bool visitorsGetThrough(int visitors, int bytes);
    std::unique_ptr<Tunnel> startSession(TunnelRecord *record, Events *events);

    ServerProcess server{Address};
    LocalService local;
    TunnelRecord record;
};

QVariantMap TestEndToEnd::changeTunnel(const TunnelRecord &tunnel, quint16 port,
                                       const QString &name, const QString &type)
{
    return callService(HttpRequest(apiBaseUrl + "port/change")
                           .addParam("tunnelId", tunnel.id)
                           .addParam("tunnelToken", tunnel.token)
                           .addParam("clientIp", LocalAddress)
                           .addParam("clientPort", QString::number(port))
                           .addParam("tunnelName", name)
                           .addParam("type", type),
                       true);
}

bool TestEndToEnd::signIn()
{
    currentUserId.clear();
    currentToken.clear();
    const QVariantMap answer = callService(HttpRequest(apiBaseUrl + "user")
                                               .addParam("phone", "13800000000")
                                               .addParam("pwd", "demo123456"),
                                           false);
    currentUserId = answer.value("data").toMap().value("id").toString();
    currentToken = answer.value("data").toMap().value("token").toString();
    return answer.value("flag").toBool();
}

bool TestEndToEnd::visitorsGetThrough(int visitors, int bytes)
{
    std::vector<std::unique_ptr<Visitor>> list;
    for (int i = 0; i < visitors; ++i) {
        list.push_back(std::make_unique<Visitor>());
        list.back()->start(quint16(record.serverPort), bytes);
    }
    auto allDone = [&] {
        for (const auto &v : list)
            if (!v->done())
                return false;
        return true;
    };
    if (!QTest::qWaitFor(allDone, 30000))
        return false;
    for (const auto &v : list)
        if (!v->intact())
            return false;
    return true;
}

std::unique_ptr<Tunnel> TestEndToEnd::startSession(TunnelRecord *r, Events *events)
{
    auto tunnel = std::make_unique<Tunnel>();
    QObject::connect(tunnel.get(), &Tunnel::tunnel_info, [events](int type, const QString &info) {
        events->list.append({type, info});
    });
    tunnel->TunnelInit(r);
    if (!tunnel->TunnelStart())
        return nullptr;
    return tunnel;
}

void TestEndToEnd::initTestCase()
{
    QVERIFY(local.listen());
    QVERIFY2(server.start({"--demo", "--ports", "21500-21509"}), server.log.constData());
    apiBaseUrl = QStringLiteral("http://127.0.0.150:8080/");
    clientUuid = QStringLiteral("{00000000-0000-4000-8000-0000000000e2}");
}

void TestEndToEnd::cleanupTestCase()
{
    QCOMPARE(server.stop(), 0);
    QCOMPARE(server.process.state(), QProcess::NotRunning);
}

void TestEndToEnd::road()
{
    // Sign in as the sign-in window does.
    QVERIFY(signIn());
    QVariantMap answer;
    QCOMPARE(currentUserId, QStringLiteral("1"));

    // Point the demo tunnel at the test's local service, as the edit form does.
    answer = callService(HttpRequest(apiBaseUrl + "port/query/" + currentUserId), false);
    QVERIFY(answer.value("flag").toBool());
    TunnelRecord listed =
        TunnelRecord::fromListEntry(answer.value("data").toList().first().toMap());
    answer = changeTunnel(listed, local.port(), "e2e", QString::number(listed.type));
    QVERIFY2(answer.value("flag").toBool(), qPrintable(answer.value("data").toString()));
    answer = callService(HttpRequest(apiBaseUrl + "port/query/" + currentUserId), false);
    record = TunnelRecord::fromListEntry(answer.value("data").toList().first().toMap());
    QCOMPARE(record.serverIp, Address);
    QCOMPARE(record.clientIp, LocalAddress);

    // Start: signed in, the record refreshed from LOGINOK.
    Events events;
    std::unique_ptr<Tunnel> session = startSession(&record, &events);
    QVERIFY(session);
    QTRY_VERIFY_WITH_TIMEOUT(events.has(1, "login success!"), 10000);
    QVERIFY(events.has(12, QStringLiteral("initView刷新隧道信息")));
    QCOMPARE(record.name, QStringLiteral("e2e"));
    QCOMPARE(record.clientPort, int(local.port()));
    QCOMPARE(record.bdw, 10);

    // Bytes arrive intact both ways, for many visitors at once.
    QVERIFY(visitorsGetThrough(1, 64 * 1024));
    QVERIFY(visitorsGetThrough(40, 8 * 1024));
    QVERIFY(local.connections >= 41);
    // The heartbeat is answered.
    QTRY_VERIFY_WITH_TIMEOUT(events.count(10) >= 1, 12000);

    // The same tunnel signed in elsewhere: this session is told to stop.
    RelayPeer elsewhere;
    QVERIFY(elsewhere.connectTo(Address, 8888));
    elsewhere.send(loginFrame(record.token));
    QCOMPARE(elsewhere.nextFrame().value("msg").toString(), QStringLiteral("LOGINOK"));
    QTRY_VERIFY_WITH_TIMEOUT(events.count(-5) == 1, 10000);
    session->TunnelStop();
    QVERIFY(events.has(-3, "TunnelStop"));
    session.reset();
    elsewhere.socket.abort();
    QVERIFY(server.waitForLog("event=tunnel-offline"));

    // Started again, then the service dies and comes back on the same database.
    Events again;
    session = startSession(&record, &again);
    QVERIFY(session);
    QTRY_VERIFY_WITH_TIMEOUT(again.has(1, "login success!"), 10000);
    QVERIFY(visitorsGetThrough(5, 4096));
    server.kill();
    QVERIFY(server.start({"--ports", "21500-21509"}));
    QTRY_VERIFY_WITH_TIMEOUT(again.count(-4) >= 1, 25000);
    QTRY_VERIFY_WITH_TIMEOUT(again.has(0, "reConnectServerSuccess"), 15000);
    QTRY_COMPARE_WITH_TIMEOUT(again.count(1), 2, 10000);
    QVERIFY(visitorsGetThrough(10, 16 * 1024));

    session->TunnelStop();
    session.reset();
    QVERIFY(server.waitForLog("event=tunnel-offline", 2));
}

void TestEndToEnd::webTunnelsOverTls()
{
    // The service again on the same database, now with its API over TLS (a certificate of a
    // CA made here) and the shared web ports.
    TestCa ca;
    QVERIFY(ca.create());
    for (const QString &name :
         {Address, QStringLiteral("t1.localhost"), QStringLiteral("t2.localhost")})
        QVERIFY(ca.issue(name));
    ca.trust();
    QCOMPARE(server.stop(), 0);
    QVERIFY2(server.start({"--ports", "21500-21509", "--http-port", QString::number(HttpPort),
                           "--https-port", QString::number(HttpsPort), "--tls-cert",
                           ca.cert(Address), "--tls-key", ca.key(Address)}),
             server.log.constData());
    apiBaseUrl = "https://" + Address + ":8080/";

    // Signed in, listed and ordered over HTTPS with the client's own request helper.
    QVERIFY(signIn());
    QVariantMap answer;
    LocalService siteA("site A\n"), siteB("site B\n");
    QVERIFY(siteA.listen() && siteB.listen());
    answer = changeTunnel(record, siteA.port(), "site A", "0");
    QVERIFY(answer.value("flag").toBool());
    answer = callService(HttpRequest(apiBaseUrl + "port")
                             .addParam("clientIp", LocalAddress)
                             .addParam("tunnelName", "site B")
                             .addParam("clientPort", QString::number(siteB.port()))
                             .addParam("type", "0")
                             .addParam("priceId", "1"),
                         true);
    QCOMPARE(answer.value("data").toString(), QStringLiteral("TunnelOk"));
    answer = callService(HttpRequest(apiBaseUrl + "port/query/" + currentUserId), false);
    const QVariantList list = answer.value("data").toList();
    QCOMPARE(list.size(), 2);
    TunnelRecord a = TunnelRecord::fromListEntry(list.at(0).toMap());
    TunnelRecord b = TunnelRecord::fromListEntry(list.at(1).toMap());
    QCOMPARE(a.type, 0);
    QCOMPARE(b.type, 0);
    QVERIFY(b.serverPort > 0);
    QCOMPARE(a.domain, QStringLiteral("t1.localhost"));
    QCOMPARE(b.domain, QStringLiteral("t2.localhost"));

    // Both started: each name reaches its own site, with the visitor's head behind the
    // greeting; an unknown name gets 404.
    Events eventsA, eventsB;
    auto sessionA = startSession(&a, &eventsA);
    auto sessionB = startSession(&b, &eventsB);
    QVERIFY(sessionA && sessionB);
    QTRY_VERIFY_WITH_TIMEOUT(eventsA.has(1, "login success!") && eventsB.has(1, "login success!"),
                             10000);
    QVERIFY(webGet("t1.localhost").startsWith("site A\nGET / HTTP/1.1\r\nHost: t1.localhost"));
    QVERIFY(webGet("T2.localhost:8090").startsWith("site B\nGET / HTTP/1.1\r\n"));
    QVERIFY(webGet("t3.localhost").startsWith("HTTP/1.1 404 "));

    // HTTPS by the ClientHello's name: each reaches its own local TLS site, whose certificate
    // for that name the visitor verifies; an unknown name is closed.
    TlsSite tlsA(ca.cert("t1.localhost"), ca.key("t1.localhost"), "tls site A");
    TlsSite tlsB(ca.cert("t2.localhost"), ca.key("t2.localhost"), "tls site B");
    QVERIFY(tlsA.listen(QHostAddress(LocalAddress)) && tlsB.listen(QHostAddress(LocalAddress)));
    a.clientPort = tlsA.serverPort();
    b.clientPort = tlsB.serverPort();
    QCOMPARE(tlsGet("t1.localhost"), QByteArray("tls site A"));
    QCOMPARE(tlsGet("t2.localhost"), QByteArray("tls site B"));
    QVERIFY(tlsGet("t3.localhost").isEmpty());

    // The site down: 502 "local service unreachable"; the tunnel stopped: 502 "tunnel offline".
    a.clientPort = siteA.port();
    siteA.server.close();
    const QByteArray down = webGet("t1.localhost");
    QVERIFY2(down.startsWith("HTTP/1.1 502 ") && down.contains("local service unreachable"),
             down.constData());
    sessionB->TunnelStop();
    QTRY_VERIFY_WITH_TIMEOUT(webGet("t2.localhost").contains("tunnel offline"), 10000);
    sessionA->TunnelStop();

    // SIGHUP reads a renewed certificate again; one that does not load leaves the old in use.
    QVERIFY(ca.issue(Address));
    ::kill(pid_t(server.process.processId()), SIGHUP);
    QVERIFY(server.waitForLog("event=tls-reloaded"));
    QVERIFY(signIn());
    QFile key(ca.key(Address));
    QVERIFY(key.open(QIODevice::WriteOnly));
    key.write("not a key");
    key.close();
    ::kill(pid_t(server.process.processId()), SIGHUP);
    QVERIFY(server.waitForLog("event=tls-reload-failed"));
    QVERIFY(signIn());
}

QTEST_GUILESS_MAIN(TestEndToEnd)
#include "tst_e2e.moc"
