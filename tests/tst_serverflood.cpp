// The reference service under floods from strangers, against the real server on loopback:
// silent and half-sent relay connections, idle visitors, slow and oversized API requests.
// While each runs, a sign-in and a visitor of known tunnels still get through within a second,
// and the service's memory comes back afterwards.
#include "floodsocket.h"
#include "relaypeer.h"
#include "serverprocess.h"

#include <QJsonArray>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTest>

#include <arpa/inet.h>
#include <fcntl.h>
#include <memory>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>
#include <vector>

namespace {

const QString Address = QStringLiteral("127.0.0.102");
const QString VisitorSource = QStringLiteral("127.0.0.3");
constexpr int WithinMs = 1000;

using floodsock::countClosed;

struct Flood
{
    std::vector<int> fds;
    ~Flood() { clear(); }
    void clear()
    {
        for (int fd : fds)
            ::close(fd);
        fds.clear();
    }
    // count connections from each source address 127.0.0.<first>...; returns how many opened.
    int open(int sources, int first, int each, int port, const QByteArray &send = {},
             const char *to = "127.0.0.102")
    {
        for (int s = 0; s < sources; ++s) {
            const QByteArray source = "127.0.0." + QByteArray::number(first + s);
            for (int i = 0; i < each; ++i) {
                const int fd = floodsock::connectFrom(source.constData(), to, port);
                if (fd < 0)
                    continue;
                if (!send.isEmpty())
                    ::send(fd, send.constData(), size_t(send.size()), MSG_NOSIGNAL);
                fds.push_back(fd);
            }
        }
        return int(fds.size());
    }
};

// The client's side of a tunnel: answers every CONN request with a data connection that
// echoes what the visitor sends.
class EchoClient
{
public:
    bool signIn(const QString &token)
    {
        control.socket.connectToHost(Address, 8888);
        if (!control.socket.waitForConnected(5000))
            return false;
        control.send(loginFrame(token));
        if (control.nextFrame().value("msg").toString() != "LOGINOK")
            return false;
        echoing = std::make_unique<EchoingClient>(control, Address, 8888);
        return true;
    }

private:
    RelayPeer control;
    std::unique_ptr<EchoingClient> echoing;
};

// What the service answered before it closed the connection.
QByteArray answerOf(int fd)
{
    const timeval wait{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    QByteArray all;
    char buffer[4096];
    ssize_t n;
    for (int i = 0; i < 100 && (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0; ++i)
        all.append(buffer, int(n));
    return all;
}

long rssKb(qint64 pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toLong();
    return 0;
}

} // namespace

class TestServerFlood : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();

    void silentRelayConnections();
    void halfSentFirstFrames();
    void idleVisitors();
    void slowAndOversizedApiRequests();
    void unreadBodiesAndLooseFraming();
    void silentApiConnections();
    void parallelSignIns();
    void paidTimeEndSignsOut();

private:
    QJsonObject call(const QString &path, const QByteArray &post = {});
    // GET /price of the service on host answers within ms.
    bool priceAnswered(const QString &host, int ms);
    // A sign-in of the second tunnel and a visitor's echo through the first.
    void legitimateTrafficGetsThrough();
    long serverRss() { return rssKb(server.process.processId()); }

    ServerProcess server{Address};
    QNetworkAccessManager nam;
    EchoClient echo;
    QString signInToken; // of the tunnel that only signs in
    quint16 echoPort = 0;
    int floodEach = 300;  // connections per flood source, fitted to our descriptor limit
    int openLimit = 1024; // descriptors this test may hold
};

bool TestServerFlood::priceAnswered(const QString &host, int ms)
{
    QNetworkReply *reply = nam.get(QNetworkRequest(QUrl("http://" + host + ":8080/price")));
    QSignalSpy done(reply, &QNetworkReply::finished);
    const bool answered = done.wait(ms);
    reply->deleteLater();
    return answered && QJsonDocument::fromJson(reply->readAll()).object().value("flag").toBool();
}

QJsonObject TestServerFlood::call(const QString &path, const QByteArray &post)
{
    return QJsonDocument::fromJson(fetchBody(nam, "http://127.0.0.102:8080/" + path, post))
        .object();
}

void TestServerFlood::initTestCase()
{
    rlimit limit{};
    QCOMPARE(getrlimit(RLIMIT_NOFILE, &limit), 0);
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
    floodEach = int(qMin<rlim_t>(300, (limit.rlim_cur - 200) / 5));
    openLimit = int(qMin<rlim_t>(limit.rlim_cur, 1 << 20));
    // Five sources: together past the global cap, each past its own.
    const int perSource = floodEach - floodEach / 6;
    QVERIFY2(server.start({"--demo", "--ports", "21200-21209", "--max-undecided",
                           QString::number(floodEach * 3), "--max-undecided-per-source",
                           QString::number(perSource), "--max-visitors-per-tunnel", "60",
                           "--max-visitors-per-source", "40", "--max-visitors-per-tunnel-source",
                           "40", "--idle-timeout-s", "2", "--api-request-timeout-s", "3"}),
             server.log.constData());
    const QJsonObject user =
        call("user?userId=&token=&phone=13800000000&pwd=demo123456").value("data").toObject();
    const QString id = QString::number(user.value("id").toInt());
    const QString account = "userId=" + id + "&token=" + user.value("token").toString();
    QVERIFY(call("port", (account + "&clientIp=127.0.0.1&tunnelName=b&clientPort=80&type=1"
                                    "&priceId=1")
                             .toUtf8())
                .value("flag")
                .toBool());
    const QJsonArray list = call("port/query/" + id + "?" + account).value("data").toArray();
    QCOMPARE(list.size(), 2);
    echoPort = quint16(list.at(0).toObject().value("serverPort").toInt());
    signInToken = list.at(1).toObject().value("token").toString();
    QVERIFY(echo.signIn(list.at(0).toObject().value("token").toString()));
    legitimateTrafficGetsThrough();
}

void TestServerFlood::cleanupTestCase()
{
    QCOMPARE(server.stop(), 0);
}

void TestServerFlood::legitimateTrafficGetsThrough()
{
    RelayPeer signIn;
    QVERIFY(signIn.connectTo(Address, 8888, WithinMs));
    signIn.send(loginFrame(signInToken));
    QCOMPARE(signIn.nextFrame(WithinMs).value("msg").toString(), QStringLiteral("LOGINOK"));

    QTcpSocket visitor;
    QVERIFY(visitor.bind(QHostAddress(VisitorSource)));
    visitor.connectToHost(Address, echoPort);
    QVERIFY(visitor.waitForConnected(WithinMs));
    visitor.write("ping");
    QByteArray echoed;
    QObject::connect(&visitor, &QTcpSocket::readyRead, [&] { echoed += visitor.readAll(); });
    QTRY_COMPARE_WITH_TIMEOUT(echoed, QByteArray("ping"), WithinMs);
}

void TestServerFlood::silentRelayConnections()
{
    Flood flood;
    QCOMPARE(flood.open(5, 202, floodEach, 8888), 5 * floodEach);
    // Past each source's cap the newest are closed at once; past the global cap the oldest.
    QVERIFY(server.waitForLog("kind=undecided-per-source"));
    QVERIFY(server.waitForLog("kind=undecided-evicted"));
    legitimateTrafficGetsThrough();
    // Whatever is left says nothing and is gone after the first-frame time.
    QTRY_COMPARE_WITH_TIMEOUT(countClosed(flood.fds), int(flood.fds.size()), 10000);
    legitimateTrafficGetsThrough();
}

void TestServerFlood::halfSentFirstFrames()
{
    const long before = serverRss();
    // A first frame that announces more than a LOGIN or CONN ever needs is refused at once.
    const QByteArray big = wire::header<QByteArray>(1024 * 1024, 0);
    Flood refused;
    refused.open(1, 207, 100, 8888, big + QByteArray(1000, '{'));
    QTRY_COMPARE_WITH_TIMEOUT(countClosed(refused.fds), int(refused.fds.size()), 5000);
    // Just under the cap, sent in part: held only until the first-frame time.
    const QByteArray partial = wire::header<QByteArray>(4000, 0);
    Flood flood;
    flood.open(4, 202, floodEach * 4 / 5, 8888, partial + QByteArray(3000, ' '));
    legitimateTrafficGetsThrough();
    QTRY_COMPARE_WITH_TIMEOUT(countClosed(flood.fds), int(flood.fds.size()), 10000);
    flood.clear();
    QTRY_VERIFY2_WITH_TIMEOUT(
        serverRss() <= before * 6 / 5,
        qPrintable(QStringLiteral("%1 kB, %2 kB before").arg(serverRss()).arg(before)), 10000);
}

void TestServerFlood::idleVisitors()
{
    // 40 visitors from one address at most, 60 per tunnel; the rest are closed at once.
    Flood first, second;
    first.open(1, 203, 50, echoPort);
    QTRY_COMPARE_WITH_TIMEOUT(countClosed(first.fds), 10, 5000);
    QVERIFY(server.waitForLog("kind=visitors-per-source"));
    second.open(1, 204, 30, echoPort);
    QTRY_COMPARE_WITH_TIMEOUT(countClosed(second.fds), 10, 5000);
    QVERIFY(server.waitForLog("kind=visitors-per-tunnel"));
    // Paired but silent, they are closed after the idle time, and visitors come in again.
    QTRY_COMPARE_WITH_TIMEOUT(countClosed(first.fds) + countClosed(second.fds), 80, 10000);
    legitimateTrafficGetsThrough();
}

void TestServerFlood::slowAndOversizedApiRequests()
{
    const long before = serverRss();
    // 100 clients from four addresses: half send a request line and then nothing, half a
    // whole head and then no body.
    Flood slow;
    slow.open(2, 210, 25, 8080, "GET /price HTTP/1.1\r\n");
    QCOMPARE(slow.open(2, 212, 25, 8080,
                       "POST /user HTTP/1.1\r\nContent-Type: application/x-www-form-urlencoded\r\n"
                       "Content-Length: 1000\r\n\r\nphone="),
             100);
    // More than 32 connections from one address are not taken.
    Flood greedy;
    greedy.open(1, 214, 40, 8080);
    QTRY_COMPARE_WITH_TIMEOUT(countClosed(greedy.fds), 8, 5000);
    // Headers without end, by count and by size: refused, not buffered.
    Flood huge;
    huge.open(1, 215, 2, 8080);
    QByteArray lines = "GET /price HTTP/1.1\r\n";
    for (int i = 0; i < 5000; ++i)
        lines += "X-A: b\r\n";
    ::send(huge.fds[0], lines.constData(), size_t(lines.size()), MSG_NOSIGNAL);
    const QByteArray wide = "GET /price HTTP/1.1\r\nX-A: " + QByteArray(200 * 1024, 'a');
    ::send(huge.fds[1], wide.constData(), size_t(wide.size()), MSG_NOSIGNAL);
    QTRY_COMPARE_WITH_TIMEOUT(countClosed(huge.fds), 2, 5000);

    // A normal request is answered at once meanwhile.
    QVERIFY(priceAnswered(Address, WithinMs));
    legitimateTrafficGetsThrough();
    // The slow ones are let go once the request time is up.
    QTRY_COMPARE_WITH_TIMEOUT(countClosed(slow.fds), 100, 10000);
    QVERIFY(server.waitForLog("kind=request-timeout"));
    QTRY_VERIFY_WITH_TIMEOUT(serverRss() <= before * 6 / 5, 10000);
}

void TestServerFlood::unreadBodiesAndLooseFraming()
{
    // 16 connections announce a body past the cap and send none: the gate answers them, so no
    // worker waits for those bodies.
    Flood big;
    QCOMPARE(big.open(1, 216, 16, 8080,
                      "POST /user HTTP/1.1\r\nHost: x\r\nContent-Length: 100000\r\n\r\n"),
             16);
    QVERIFY(priceAnswered(Address, WithinMs));
    QTRY_COMPARE_WITH_TIMEOUT(countClosed(big.fds), 16, 5000);
    // A head that two readers might frame differently is refused, never guessed at.
    const QList<QPair<QByteArray, QByteArray>> framings{
        {"Host: x\nContent-Length: 10", "400"},
        {"Content-Length : 10", "400"},
        {"X-A: b\r\n Content-Length: 10", "400"},
        {"Content-Length: 1e3", "400"},
        {"Content-Length: +10", "400"},
        {"Content-Length: 10\r\nContent-Length: 10", "400"},
        {"Transfer-Encoding: chunked", "411"},
        {"Content-Length: 100000", "413"},
        {"Content-Encoding: gzip\r\nContent-Length: 10", "415"},
    };
    for (const auto &framing : framings) {
        Flood one;
        one.open(1, 217, 1, 8080, "POST /user HTTP/1.1\r\n" + framing.first + "\r\n\r\n");
        QVERIFY2(answerOf(one.fds.at(0)).startsWith("HTTP/1.1 " + framing.second),
                 framing.first.constData());
    }
}

void TestServerFlood::silentApiConnections()
{
    // 66 addresses with 32 silent connections each, past the API's cap of 2,048 (both scaled
    // to the descriptors this test may hold): the longest silent make room, and a client that
    // sends its request at once is answered.
    const int cap = qMin(2048, (openLimit - 600) / 2);
    const int sources = cap / 32 + 2;
    ServerProcess api(QStringLiteral("127.0.0.104"));
    QVERIFY2(api.start({"--ports", "21220-21229", "--api-max-connections", QString::number(cap)}),
             api.log.constData());
    Flood flood;
    QCOMPARE(flood.open(sources, 130, 32, 8080, {}, "127.0.0.104"), sources * 32);
    QVERIFY(api.waitForLog("kind=connections-evicted"));
    QVERIFY(priceAnswered(QStringLiteral("127.0.0.104"), WithinMs));
    QTRY_VERIFY_WITH_TIMEOUT(countClosed(flood.fds) > sources * 32 - cap, 5000);
    QCOMPARE(api.stop(), 0);
}

void TestServerFlood::parallelSignIns()
{
    // 32 sign-ins at once from eight addresses, each hashed: hashing takes some workers, never
    // all of them, so a cheap request is answered meanwhile.
    Flood signIns;
    for (int i = 0; i < 32; ++i)
        signIns.open(1, 220 + i % 8, 1, 8080,
                     "GET /user?userId=&token=&phone=139000000" + QByteArray::number(10 + i) +
                         "&pwd=guess HTTP/1.1\r\nHost: x\r\n\r\n");
    QCOMPARE(int(signIns.fds.size()), 32);
    QVERIFY(priceAnswered(Address, WithinMs));
}

void TestServerFlood::paidTimeEndSignsOut()
{
    // A tunnel signed in when its paid time ends is told why, the way the client shows a
    // refused sign-in, and let go.
    ServerProcess other(QStringLiteral("127.0.0.103"));
    QVERIFY2(other.start({"--demo", "--ports", "21210-21219", "--demo-expiry-s", "5"}),
             other.log.constData());
    QNetworkRequest request(
        QUrl("http://127.0.0.103:8080/user?userId=&token=&phone=13800000000&pwd=demo123456"));
    QNetworkReply *reply = nam.get(request);
    QSignalSpy done(reply, &QNetworkReply::finished);
    QVERIFY(done.wait(20000));
    const QJsonObject user = QJsonDocument::fromJson(reply->readAll()).object()["data"].toObject();
    reply->deleteLater();
    const QString id = QString::number(user.value("id").toInt());
    reply =
        nam.get(QNetworkRequest(QUrl("http://127.0.0.103:8080/port/query/" + id + "?userId=" + id +
                                     "&token=" + user.value("token").toString())));
    QSignalSpy listed(reply, &QNetworkReply::finished);
    QVERIFY(listed.wait(20000));
    const QString tunnelToken = QJsonDocument::fromJson(reply->readAll())
                                    .object()["data"]
                                    .toArray()
                                    .first()
                                    .toObject()
                                    .value("token")
                                    .toString();
    reply->deleteLater();
    RelayPeer control;
    QVERIFY(control.connectTo(QStringLiteral("127.0.0.103"), 8888));
    control.send(loginFrame(tunnelToken));
    QCOMPARE(control.nextFrame().value("msg").toString(), QStringLiteral("LOGINOK"));
    const QJsonObject end = control.nextFrame(10000);
    QCOMPARE(end.value("type").toString(), QStringLiteral("LOGIN"));
    QVERIFY(end.value("msg").toString() != QStringLiteral("LOGINOK"));
    QVERIFY(end.value("info").toString().contains(QStringLiteral("到期")));
    QVERIFY(control.waitClosed());
    QVERIFY(other.waitForLog("event=tunnel-expired"));
    // Signing in again is refused with the same reason.
    RelayPeer again;
    QVERIFY(again.connectTo(QStringLiteral("127.0.0.103"), 8888));
    again.send(loginFrame(tunnelToken));
    QVERIFY(again.nextFrame().value("info").toString().contains(QStringLiteral("到期")));
    QCOMPARE(other.stop(), 0);
}

QTEST_GUILESS_MAIN(TestServerFlood)
#include "tst_serverflood.moc"
