#include "fakerelay.h"

#include "core/globals.h"
#include "net/statusserver.h"
#include "tunnel/tunnelcontroller.h"
#include "tunnel/tunnelregistry.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

namespace {

const char Address[] = "127.0.0.173";
const char RelayAddress[] = "127.0.0.175";

struct Answer
{
    int status = 0;
    QByteArray head; // status line and headers, as received
    QByteArray body;
};

// One request on a connection of its own, with the Host header the test chooses (none when
// empty); the server closes the connection after its answer.
Answer ask(int port, const QByteArray &method, const QByteArray &path, const QByteArray &host)
{
    QTcpSocket socket;
    socket.connectToHost(QString::fromLatin1(Address), quint16(port));
    if (!socket.waitForConnected(5000))
        return {};
    QByteArray request = method + ' ' + path + " HTTP/1.1\r\n";
    if (!host.isEmpty())
        request += "Host: " + host + "\r\n";
    request += "Connection: close\r\nContent-Length: 0\r\n\r\n";
    socket.write(request);
    QByteArray received;
    while (socket.state() == QAbstractSocket::ConnectedState && socket.waitForReadyRead(5000))
        received += socket.readAll();
    received += socket.readAll();
    Answer answer;
    const int end = received.indexOf("\r\n\r\n");
    answer.head = received.left(end);
    answer.body = end < 0 ? QByteArray() : received.mid(end + 4);
    answer.status = received.split(' ').value(1).toInt();
    return answer;
}

TunnelStatus runningTunnel()
{
    TunnelStatus t;
    t.name = QStringLiteral("家里的NAS <b>\"x\"</b>");
    t.domain = QStringLiteral("nas.status.test");
    t.publicAddress = QStringLiteral("nas.status.test:20001");
    t.localAddress = QStringLiteral("127.0.0.1:5000");
    t.state = TunnelStatus::State::Running;
    t.activeConnections = 3;
    t.totalConnections = 7;
    t.failedConnections = 2;
    t.bytesIn = 5 * 1024 * 1024;
    t.bytesOut = 3 * 1024 * 1024;
    t.rateIn = 1200.4;
    t.rateOut = 240.6;
    t.rttMs = 38;
    return t;
}

} // namespace

// The local status API: its JSON, its page, whom it answers and what it refuses.
class TstStatusServer : public QObject
{
    Q_OBJECT

private:
    std::shared_ptr<StatusBoard> board = std::make_shared<StatusBoard>();
    StatusServer server{board};

private slots:
    void initTestCase() { QVERIFY(server.start(QStringLiteral("%1:0").arg(Address))); }

    void tunnelsAsJson()
    {
        TunnelStatus stopped;
        stopped.name = QStringLiteral("博客");
        stopped.domain = QStringLiteral("blog.status.test");
        stopped.stateReason = QStringLiteral("令牌无效");
        board->publish({runningTunnel(), stopped});

        const Answer a = ask(server.port(), "GET", "/api/tunnels", "127.0.0.1:4180");
        QCOMPARE(a.status, 200);
        QVERIFY(a.head.contains("Content-Type: application/json"));
        QVERIFY(!a.head.toLower().contains("access-control-"));
        // Members in the documented order, so that people can read it too.
        QVERIFY(a.body.startsWith("{\"tunnels\":[{\"name\":\"家里的NAS <b>\\\"x\\\"</b>\","
                                  "\"domain\":"));
        const QJsonArray tunnels = QJsonDocument::fromJson(a.body).object()["tunnels"].toArray();
        QCOMPARE(tunnels.size(), 2);
        const QJsonObject t = tunnels.at(0).toObject();
        QCOMPARE(t.keys(), (QStringList{"bytes", "connections", "domain", "localAddress", "name",
                                        "publicAddress", "rate", "rttMs", "state", "stateReason"}));
        QCOMPARE(t["publicAddress"].toString(), QStringLiteral("nas.status.test:20001"));
        QCOMPARE(t["localAddress"].toString(), QStringLiteral("127.0.0.1:5000"));
        QCOMPARE(t["state"].toString(), QStringLiteral("running"));
        QCOMPARE(t["connections"].toObject(),
                 (QJsonObject{{"active", 3}, {"total", 7}, {"failed", 2}}));
        QCOMPARE(t["bytes"].toObject(),
                 (QJsonObject{{"in", 5 * 1024 * 1024}, {"out", 3 * 1024 * 1024}}));
        QCOMPARE(t["rate"].toObject(), (QJsonObject{{"in", 1200}, {"out", 241}}));
        QCOMPARE(t["rttMs"].toInt(), 38);
        // A tunnel that is not running is listed all the same.
        const QJsonObject s = tunnels.at(1).toObject();
        QCOMPARE(s["state"].toString(), QStringLiteral("stopped"));
        QCOMPARE(s["stateReason"].toString(), QStringLiteral("令牌无效"));
        QVERIFY(s["rttMs"].isNull());

        const Answer page = ask(server.port(), "GET", "/", "localhost:4180");
        QCOMPARE(page.status, 200);
        QVERIFY(page.head.contains("Content-Type: text/html"));
        QVERIFY(page.body.contains("http-equiv=\"refresh\""));
        QVERIFY(page.body.contains("nas.status.test:20001"));
        // The user's own text is shown, never run.
        QVERIFY(page.body.contains("家里的NAS &lt;b&gt;&quot;x&quot;&lt;/b&gt;"));
        QVERIFY(!page.body.contains("<b>\"x\""));
    }

    // A tunnel's web requests, newest first, as JSON and as a page; an unknown tunnel is 404.
    void requestsOfATunnel()
    {
        auto log = std::make_shared<RequestLog>();
        RequestEntry get;
        get.time = QDateTime(QDate(2026, 12, 10), QTime(12, 0));
        get.method = QStringLiteral("GET");
        get.path = QStringLiteral("/a?q=<1>");
        get.host = QStringLiteral("nas.status.test");
        get.status = 404;
        get.bytesIn = 80;
        get.bytesOut = 120;
        get.durationMs = 7;
        RequestEntry raw;
        raw.bytesIn = 5;
        log->add(get);
        log->add(raw);
        board->publishRequests({{QStringLiteral("nas.status.test"), log}});

        const Answer a =
            ask(server.port(), "GET", "/api/tunnels/nas.status.test/requests", "127.0.0.1");
        QCOMPARE(a.status, 200);
        const QJsonArray list = QJsonDocument::fromJson(a.body).object()["requests"].toArray();
        QCOMPARE(list.size(), 2);
        QVERIFY(list.at(0).toObject()["raw"].toBool());
        const QJsonObject first = list.at(1).toObject();
        QCOMPARE(first["method"].toString(), QStringLiteral("GET"));
        QCOMPARE(first["path"].toString(), QStringLiteral("/a?q=<1>"));
        QCOMPARE(first["status"].toInt(), 404);
        QCOMPARE(first["bytesOut"].toInt(), 120);
        const Answer page = ask(server.port(), "GET", "/requests/nas.status.test", "127.0.0.1");
        QCOMPARE(page.status, 200);
        QVERIFY(page.body.contains("/a?q=&lt;1&gt;"));
        QCOMPARE(ask(server.port(), "GET", "/api/tunnels/none.test/requests", "127.0.0.1").status,
                 404);
    }

    void onlyLoopbackHosts_data()
    {
        QTest::addColumn<QByteArray>("host");
        QTest::addColumn<int>("status");
        QTest::newRow("127.0.0.1 with port") << QByteArray("127.0.0.1:4180") << 200;
        QTest::newRow("other loopback") << QByteArray("127.0.0.173") << 200;
        QTest::newRow("localhost") << QByteArray("LocalHost") << 200;
        QTest::newRow("ipv6 loopback") << QByteArray("[::1]:4180") << 200;
        QTest::newRow("rebound name") << QByteArray("attacker.example:4180") << 403;
        QTest::newRow("loopback-looking name") << QByteArray("127.0.0.1.attacker.example") << 403;
        QTest::newRow("localhost suffix") << QByteArray("localhost.attacker.example") << 403;
        QTest::newRow("private address") << QByteArray("192.168.1.2:4180") << 403;
        QTest::newRow("bad port") << QByteArray("127.0.0.1:http") << 403;
        QTest::newRow("none") << QByteArray() << 403;
    }
    void onlyLoopbackHosts()
    {
        QFETCH(QByteArray, host);
        QFETCH(int, status);
        board->publish({runningTunnel()});
        for (const QByteArray path : {"/api/tunnels", "/"}) {
            const Answer a = ask(server.port(), "GET", path, host);
            QCOMPARE(a.status, status);
            QCOMPARE(a.body.contains("nas.status.test"), status == 200);
        }
    }

    void readOnly()
    {
        for (const QByteArray method : {"POST", "PUT", "DELETE", "PATCH", "OPTIONS"}) {
            const Answer a = ask(server.port(), method, "/api/tunnels", "127.0.0.1");
            QCOMPARE(a.status, 405);
            QVERIFY(a.head.contains("Allow: GET, HEAD"));
            QVERIFY(!a.head.toLower().contains("access-control-"));
        }
        QCOMPARE(ask(server.port(), "GET", "/api/other", "127.0.0.1").status, 404);
        // Too many header lines; one that is too long.
        QCOMPARE(
            ask(server.port(), "GET", "/", "127.0.0.1\r\n" + QByteArray("X: y\r\n").repeated(100))
                .status,
            431);
        QCOMPARE(ask(server.port(), "GET", "/", "127.0.0.1\r\nX: " + QByteArray(10000, 'y')).status,
                 400);
    }

    // What a real card publishes carries none of the account's or the tunnel's secrets.
    void nothingSecret()
    {
        currentToken = QStringLiteral("account-token-5e1c");
        TunnelRecord record;
        record.id = QStringLiteral("5");
        record.name = QStringLiteral("n");
        record.domain = QStringLiteral("secret.status.test");
        record.token = QStringLiteral("tunnel-token-77ab");
        record.clientIp = QString::fromLatin1(Address);
        record.clientPort = 9;
        record.serverIp = QString::fromLatin1(Address);
        record.serverPort = 20001;
        TunnelController tunnel(record);
        tunnel.tunnelInfo(-4, QStringLiteral("heartbeat timeout"));
        board->publish({tunnel.status()});
        for (const QByteArray path : {"/api/tunnels", "/"}) {
            const Answer a = ask(server.port(), "GET", path, "127.0.0.1");
            QCOMPARE(a.status, 200);
            QVERIFY(a.body.contains("secret.status.test"));
            for (const QByteArray secret : {"account-token-5e1c", "tunnel-token-77ab", "token"})
                QVERIFY2(!(a.head + a.body).contains(secret), secret.constData());
        }
    }

    // The API reads the tunnels' registry itself: no window, no card, no tray.
    void answersWithoutAnyWindow()
    {
        FakeRelay relay;
        QVERIFY(relay.listen(QLatin1String(RelayAddress)));
        TunnelRegistry registry;
        StatusServer api(registry.board());
        QVERIFY(api.start(QStringLiteral("%1:0").arg(Address)));
        TunnelRecord record;
        record.domain = QStringLiteral("nas.example.test");
        record.serverIp = QLatin1String(RelayAddress);
        record.clientIp = QLatin1String(RelayAddress);
        record.clientPort = 9;
        const auto state = [&] {
            const Answer a = ask(api.port(), "GET", "/api/tunnels", "127.0.0.1");
            return QJsonDocument::fromJson(a.body)["tunnels"][0]["state"].toString();
        };
        std::unique_ptr<TunnelController> tunnel(registry.add(record));
        QCOMPARE(state(), QStringLiteral("stopped"));
        QVERIFY(tunnel->start());
        QTRY_COMPARE_WITH_TIMEOUT(state(), QStringLiteral("running"), 5000);
        // Its requests too, under the domain the sign-in gave it.
        const QByteArray path = "/api/tunnels/" + tunnel->status().domain.toUtf8() + "/requests";
        QCOMPARE(ask(api.port(), "GET", path, "127.0.0.1").body, QByteArray("{\"requests\":[]}\n"));
        tunnel->stop();
        QCOMPARE(state(), QStringLiteral("stopped"));
        tunnel.reset();
        QCOMPARE(ask(api.port(), "GET", "/api/tunnels", "127.0.0.1").body,
                 QByteArray("{\"tunnels\":[]}\n"));
    }

    // Visitors that trickle their requests a byte at a time hold a worker each, not all of them.
    void tricklingVisitorsDoNotStallIt()
    {
        QTcpSocket slow[2];
        for (QTcpSocket &s : slow) {
            s.connectToHost(QString::fromLatin1(Address), quint16(server.port()));
            QVERIFY(s.waitForConnected(5000));
            s.write("GET /api/tunnels HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: ");
        }
        QTimer drip;
        connect(&drip, &QTimer::timeout, [&] {
            for (QTcpSocket &s : slow)
                s.write("x");
        });
        drip.start(200);
        QTest::qWait(300);
        Answer answer;
        const int port = server.port();
        std::unique_ptr<QThread> asking(
            QThread::create([&] { answer = ask(port, "GET", "/api/tunnels", "127.0.0.1"); }));
        asking->start();
        const bool answered = QTest::qWaitFor([&] { return asking->isFinished(); }, 5000);
        for (QTcpSocket &s : slow)
            QCOMPARE(s.state(), QAbstractSocket::ConnectedState); // still trickling
        drip.stop();
        for (QTcpSocket &s : slow)
            s.abort();
        QVERIFY(asking->wait(10000));
        QVERIFY(answered);
        QCOMPARE(answer.status, 200);
    }

    // A taken address or one off this machine: one line in the log, and no API.
    void refusedAddresses()
    {
        StatusServer second(board);
        const QString taken = QStringLiteral("%1:%2").arg(Address).arg(server.port());
        // The expected message is read as UTF-8, whatever the system's code page.
        QTest::ignoreMessage(
            QtWarningMsg, qUtf8Printable("StatusApi 地址已被占用，本地状态接口未启动：" + taken));
        QVERIFY(!second.start(taken));
        for (const char *address : {"0.0.0.0:0", "192.168.1.2:4180", "localhost", "[::1]x"}) {
            QTest::ignoreMessage(
                QtWarningMsg, qUtf8Printable(QStringLiteral("StatusApi 本地状态接口只监听本机地址"
                                                            "，未启动：") +
                                             QLatin1String(address)));
            QVERIFY(!second.start(QLatin1String(address)));
            QVERIFY(!second.isRunning());
        }
    }

    // Last: a visitor that never finishes its request does not hold up the stop, and once
    // stopped nothing listens there any more.
    void stopCloses()
    {
        const int port = server.port();
        QTcpSocket stalled;
        stalled.connectToHost(QString::fromLatin1(Address), quint16(port));
        QVERIFY(stalled.waitForConnected(5000));
        stalled.write("GET /api/tunnels HTTP/1.1\r\nHost: 127.0.0.1\r\n");
        QVERIFY(stalled.waitForBytesWritten(5000));
        server.stop();
        QVERIFY(!server.isRunning());
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress(QString::fromLatin1(Address)), quint16(port)));
    }
};

QTEST_MAIN(TstStatusServer)
#include "tst_statusserver.moc"
