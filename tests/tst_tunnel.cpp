#include "core/globals.h"
#include "fakerelay.h"
#include "platform/environment.h"
#include "tunnel/tunnel.h"
#include "tunnel/tunnelcontroller.h"
#include "tunnel/tunnelevent.h"
#include "tunnel/tunnellock.h"
#include "tunnel/tunnelpacket.h"

#include <QElapsedTimer>
#include <QLockFile>
#include <QTemporaryDir>
#include <QUuid>
#include <QtTest>

#include <memory>

#ifdef Q_OS_LINUX
#include <QScopeGuard>

#include <dlfcn.h>
#include <sys/time.h>

#include <atomic>
#include <ctime>

// The C library's wall clock as this whole process sees it, Qt included, moved by
// wallClockShiftSecs the way a time server's correction moves it; the monotonic clocks stay.
static std::atomic<long> wallClockShiftSecs{0};

extern "C" int clock_gettime(clockid_t id, timespec *time) noexcept
{
    using Real = int (*)(clockid_t, timespec *);
    static const auto real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "clock_gettime"));
    const int result = real(id, time);
    if (result == 0 && (id == CLOCK_REALTIME || id == CLOCK_REALTIME_COARSE))
        time->tv_sec += wallClockShiftSecs.load();
    return result;
}

extern "C" int gettimeofday(timeval *__restrict time, void *__restrict) noexcept
{
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    time->tv_sec = now.tv_sec;
    time->tv_usec = now.tv_nsec / 1000;
    return 0;
}
#endif

namespace {

struct Event
{
    int type;
    QString info;
    qint64 atMs;
};

// A session on its own record, with every event it reports.
struct Session
{
    TunnelRecord record;
    std::unique_ptr<Tunnel> tunnel = std::make_unique<Tunnel>();
    QList<Event> events;
    QElapsedTimer clock;

    explicit Session(const QString &serverIp, const QString &domain = "nas.example.test")
    {
        record.serverIp = serverIp;
        record.domain = domain;
        record.token = "tok-1";
        record.clientIp = "127.0.0.1";
        record.clientPort = 1;
        clock.start();
        QObject::connect(tunnel.get(), &Tunnel::tunnel_info, [this](int type, const QString &info) {
            events << Event{type, info, clock.elapsed()};
        });
        tunnel->TunnelInit(&record);
    }

    QList<int> types() const
    {
        QList<int> out;
        for (const Event &e : events)
            out << e.type;
        return out;
    }
    int count(int type) const { return types().count(type); }
    QStringList infos() const
    {
        QStringList out;
        for (const Event &e : events)
            out << e.info;
        return out;
    }
    // Events without the heartbeat pair.
    QList<int> nonHeartTypes() const
    {
        QList<int> out;
        for (int t : types())
            if (t != 10 && t != 11)
                out << t;
        return out;
    }
};

const QString StopText = QStringLiteral(
    "该隧道在其他设备登录，本机已被挤掉线，请您尝试现在重新启动或更换令牌后重新启动");

} // namespace

class TstTunnel : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        clientUuid = QUuid::createUuid().toString();
        LogCapture::instance().install();
    }
    void init() { LogCapture::instance().take(); }

    void loginIsByteExactAndLoginOkUpdatesRecord()
    {
        FakeRelay relay;
        QVERIFY(relay.listen("127.0.0.10"));
        Session s("127.0.0.10");
        QVERIFY(s.tunnel->TunnelStart());
        QCOMPARE(s.events.size(), 1);
        QCOMPARE(s.events[0].type, 0);
        QCOMPARE(s.events[0].info, QStringLiteral("connect server success"));

        QTRY_COMPARE_WITH_TIMEOUT(s.count(12), 1, 5000);
        QCOMPARE(relay.controls().size(), 1);
        const QByteArray json = "{\n    \"token\": \"tok-1\",\n    \"type\": \"LOGIN\",\n"
                                "    \"uuid\": \"" +
                                clientUuid.toUtf8() + "\",\n    \"version\": \"1.0.0\"\n}\n";
        QCOMPARE(relay.controls()[0]->rawFrames.value(0),
                 intToBytes(json.size()) + intToBytes(5) + json + "login");

        QCOMPARE(s.types(), (QList<int>{0, 0, 1, 12}));
        QCOMPARE(s.infos(),
                 (QStringList{"connect server success", "authenticating success,analysising...",
                              "login success!", "initView刷新隧道信息"}));
        QCOMPARE(s.record.name, QStringLiteral("nas"));
        QCOMPARE(s.record.serverIp, QStringLiteral("127.0.0.10"));
        QCOMPARE(s.record.domain, QStringLiteral("nas.example.test"));
        QCOMPARE(s.record.bdw, 4);
        QCOMPARE(s.record.clientPort, 5000);

        s.tunnel->TunnelStop();
        QCOMPARE(s.events.last().type, -3);
        QCOMPARE(s.events.last().info, QStringLiteral("TunnelStop"));
        QTRY_VERIFY_WITH_TIMEOUT(relay.controls()[0]->closed, 5000);
        s.tunnel->TunnelStop(); // a second stop reports nothing
        QCOMPARE(s.count(-3), 1);

        const QStringList log = LogCapture::instance().take();
        const QStringList expected{
            "TunnelInit nas.example.test",        "TunnelStart nas.example.test",
            "TunnelTimerInit nas.example.test",   "CreatePacketAndQTcpSocket nas.example.test",
            "ConnServerSuccess nas.example.test", "登录成功 nas.example.test",
            "隧道已停止 nas.example.test"};
        QCOMPARE(log, expected);
    }

    void loginOkInnerObject_data()
    {
        QTest::addColumn<QJsonValue>("info");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("domain");
        QTest::addColumn<int>("bdw");
        QTest::addColumn<int>("clientPort");
        QTest::newRow("string port")
            << QJsonValue(
                   R"({"name":"n","serverIp":"127.0.0.11","domain":"d","bdw":2,"clientPort":"8080"})")
            << "n"
            << "d" << 2 << 0;
        QTest::newRow("object, not text")
            << QJsonValue(
                   QJsonObject{{"name", "n"}, {"domain", "d"}, {"bdw", 2}, {"clientPort", 80}})
            << ""
            << "" << 0 << 0;
        QTest::newRow("not JSON") << QJsonValue("garbage") << ""
                                  << "" << 0 << 0;
    }
    void loginOkInnerObject()
    {
        QFETCH(QJsonValue, info);
        FakeRelay relay;
        relay.loginReply =
            FakeRelay::message({{"type", "LOGIN"}, {"msg", "LOGINOK"}, {"info", info}});
        QVERIFY(relay.listen("127.0.0.11"));
        Session s("127.0.0.11");
        s.record.name = "old";
        s.record.bdw = 9;
        s.record.clientPort = 22;
        QVERIFY(s.tunnel->TunnelStart());
        QTRY_COMPARE_WITH_TIMEOUT(s.count(12), 1, 5000);
        QTEST(s.record.name, "name");
        QTEST(s.record.domain, "domain");
        QTEST(s.record.bdw, "bdw");
        QTEST(s.record.clientPort, "clientPort");
        QCOMPARE(s.count(-2), 0); // an odd inner object is not a parse error
        s.tunnel->TunnelStop();
    }

    void loginRefused()
    {
        FakeRelay relay;
        relay.loginReply =
            FakeRelay::message({{"type", "LOGIN"}, {"msg", "FAIL"}, {"info", "令牌无效"}});
        QVERIFY(relay.listen("127.0.0.12"));
        Session s("127.0.0.12");
        QVERIFY(s.tunnel->TunnelStart());
        QTRY_COMPARE_WITH_TIMEOUT(s.count(-2), 1, 5000);
        QCOMPARE(s.types(), (QList<int>{0, 0, -2}));
        QCOMPARE(s.events.last().info, QStringLiteral("令牌无效"));
        QVERIFY(LogCapture::instance().peek().contains("登录失败： 令牌无效 nas.example.test"));
        QCOMPARE(s.record.name, QString()); // untouched
    }

    void serverMessages()
    {
        FakeRelay relay;
        QVERIFY(relay.listen("127.0.0.13"));
        Session s("127.0.0.13");
        QVERIFY(s.tunnel->TunnelStart());
        QTRY_COMPARE_WITH_TIMEOUT(s.count(12), 1, 5000);
        RelayConnection *control = relay.controls()[0];

        // Ignored: other MSG texts, unknown types, compared values that are not strings.
        FakeRelay::send(control, FakeRelay::message({{"type", "MSG"}, {"msg", "HELLO"}}));
        FakeRelay::send(control, FakeRelay::message({{"type", "NOISE"}}));
        FakeRelay::send(control, FakeRelay::message({{"type", "heart"}}));
        FakeRelay::send(control, FakeRelay::message({{"type", 1}, {"msg", "STOP"}}));
        FakeRelay::send(control, FakeRelay::message({{"type", "HEART"}}));
        QTRY_COMPARE_WITH_TIMEOUT(s.count(10), 1, 5000);
        QCOMPARE(s.events.last().info, QStringLiteral("收到心跳"));
        QCOMPARE(s.types(), (QList<int>{0, 0, 1, 12, 10}));

        // Not JSON at all: reported, nothing else happens.
        QByteArray bad = "{not json";
        control->socket->write(intToBytes(bad.size()) + intToBytes(0) + bad);
        QTRY_COMPARE_WITH_TIMEOUT(s.count(-2), 1, 5000);
        QCOMPARE(s.events.last().info, QStringLiteral("数据解析异常"));

        FakeRelay::send(control, FakeRelay::message({{"type", "MSG"}, {"msg", "STOP"}}));
        QTRY_COMPARE_WITH_TIMEOUT(s.count(-5), 1, 5000);
        QCOMPARE(s.events.last().info, StopText);
        QVERIFY(LogCapture::instance().peek().contains(StopText + " nas.example.test"));
        QCOMPARE(s.count(-3), 0); // the card, not the session, stops on STOP
        s.tunnel->TunnelStop();
        QCOMPARE(s.types().mid(s.types().size() - 2), (QList<int>{-5, -3}));
    }

    void hostileFrameIsAParseError()
    {
        FakeRelay relay;
        QVERIFY(relay.listen("127.0.0.14"));
        Session s("127.0.0.14");
        QVERIFY(s.tunnel->TunnelStart());
        QTRY_COMPARE_WITH_TIMEOUT(s.count(12), 1, 5000);
        // A header announcing 2 GiB, then more bytes: reported at once, never buffered.
        relay.controls()[0]->socket->write(intToBytes(0x7fffffff) + intToBytes(0) +
                                           QByteArray(100000, 'x'));
        QTRY_COMPARE_WITH_TIMEOUT(s.count(-2), 1, 5000);
        QCOMPARE(s.events.last().info, QStringLiteral("数据解析异常"));
        // The stream can be framed again afterwards.
        FakeRelay::send(relay.controls()[0], FakeRelay::message({{"type", "HEART"}}));
        QTRY_COMPARE_WITH_TIMEOUT(s.count(10), 1, 5000);
        s.tunnel->TunnelStop();
    }

    void stopWhileDeliveringFrames()
    {
        // The card stops (and drops) the session inside the STOP event; frames behind it in the
        // same read must go nowhere.
        FakeRelay relay;
        QVERIFY(relay.listen("127.0.0.15"));
        auto s = std::make_unique<Session>("127.0.0.15");
        Tunnel *tunnel = s->tunnel.get();
        QObject::connect(tunnel, &Tunnel::tunnel_info, [&](int type, const QString &) {
            if (type == -5) {
                tunnel->TunnelStop();
                s->tunnel.release()->deleteLater();
            }
        });
        QVERIFY(tunnel->TunnelStart());
        QTRY_COMPARE_WITH_TIMEOUT(s->count(12), 1, 5000);
        relay.controls()[0]->socket->write(
            FakeRelay::frame(FakeRelay::message({{"type", "MSG"}, {"msg", "STOP"}})) +
            FakeRelay::frame(FakeRelay::message({{"type", "HEART"}})) +
            FakeRelay::frame(FakeRelay::message({{"type", "CONN"}, {"uid", "x"}})));
        QTRY_VERIFY_WITH_TIMEOUT(!s->tunnel, 5000);
        QTest::qWait(200);
        QCOMPARE(s->count(10), 0);
        // The recorder sees -5 first; the stop inside it reports -3 right away.
        QCOMPARE(s->types().mid(4), (QList<int>{-5, -3}));
        QCOMPARE(relay.datas().size(), 0);
    }

    void connectFailure()
    {
        Session s("127.0.0.16"); // nothing listens there
        QVERIFY(!s.tunnel->TunnelStart());
        QCOMPARE(s.types(), (QList<int>{-1, -1}));
        QCOMPARE(s.infos(),
                 (QStringList{"ConnectServerFail",
                              "服务器连接失败,检查您的本地网络是否稳定，防火墙等是否关闭"}));
        QVERIFY(LogCapture::instance().peek().contains(
            "ConnServerFail[连接服务器失败] nas.example.test"));
        // The control socket exists, so a stop still reports -3.
        s.tunnel->TunnelStop();
        QCOMPARE(s.types(), (QList<int>{-1, -1, -3}));
        QVERIFY(!s.tunnel->TunnelStart()); // never started twice
    }

    void stopWithoutStartAndUnconfigured()
    {
        Session idle("127.0.0.16");
        idle.tunnel->TunnelStop();
        QCOMPARE(idle.events.size(), 0);

        FakeRelay relay;
        QVERIFY(relay.listen("127.0.0.17"));
        Session s("127.0.0.17");
        s.record.state = TunnelRecord::StateNotConfigured;
        QVERIFY(!s.tunnel->TunnelStart());
        QCOMPARE(s.types(), QList<int>{-2});
        QCOMPARE(s.events[0].info, QStringLiteral("该隧道尚未配置，请先在WEB控制台配置后再启动"));
        QTest::qWait(100);
        QCOMPARE(relay.connections.size(), size_t(0));
        s.tunnel->TunnelStop();
        QCOMPARE(s.events.size(), 1);
    }

    // Real 5-second ticks, four sessions side by side so the whole case takes about 22 s.
    void heartbeatsSilenceAndReconnects()
    {
        FakeRelay answering, silent, vanishing, mute;
        silent.answerHeart = false;
        vanishing.answerHeart = false;
        mute.answerLogin = false;
        QVERIFY(answering.listen("127.0.0.19"));
        QVERIFY(silent.listen("127.0.0.20"));
        QVERIFY(vanishing.listen("127.0.0.21"));
        QVERIFY(mute.listen("127.0.0.22"));

        Session a("127.0.0.19"), b("127.0.0.20"), c("127.0.0.21"), d("127.0.0.22");
        for (Session *s : {&a, &b, &c, &d})
            QVERIFY(s->tunnel->TunnelStart());
        QTRY_VERIFY_WITH_TIMEOUT(a.count(1) && b.count(1) && c.count(1), 5000);
        const qint64 loginB = b.events.last().atMs;
        const qint64 loginC = c.events.last().atMs;
        // The vanishing server goes away after sign-in; its open connection stays silent.
        vanishing.stopListening();
#ifdef Q_OS_LINUX
        // Meanwhile the wall clock is set back an hour: the silences are found all the same.
        const QDateTime wallBefore = QDateTime::currentDateTime();
        wallClockShiftSecs = -3600;
        auto restore = qScopeGuard([] { wallClockShiftSecs = 0; });
        QVERIFY(QDateTime::currentDateTime() < wallBefore.addSecs(-3500));
#endif

        QTRY_VERIFY_WITH_TIMEOUT(c.count(-6) >= 2, 30000);

        // Answered heartbeats: one every 5 s, 11 and 10 alternating, no reconnect. The third
        // reply may still be on its way when the failing reconnect above is seen on the same tick.
        QTRY_VERIFY_WITH_TIMEOUT(a.count(10) >= 3, 6000);
        QList<int> beats;
        for (int t : a.types())
            if (t == 10 || t == 11)
                beats << t;
        QVERIFY2(beats.size() >= 6, qPrintable(QString::number(beats.size())));
        for (int i = 0; i < beats.size(); ++i)
            QCOMPARE(beats[i], i % 2 ? 10 : 11);
        QCOMPARE(a.nonHeartTypes(), (QList<int>{0, 0, 1, 12}));
        QCOMPARE(answering.controls().size(), 1);

        // Silence: -4 10 to 15 s after the last input, then a successful reconnect and LOGIN.
        const int firstLost = b.types().indexOf(-4);
        QVERIFY(firstLost > 0);
        const qint64 silenceMs = b.events[firstLost].atMs - loginB;
        QVERIFY2(silenceMs >= 9500 && silenceMs <= 16000, qPrintable(QString::number(silenceMs)));
        QVERIFY(b.events[firstLost].info.startsWith(
            "Automatic stabilization..., the heartbeat interval timeout："));
        QCOMPARE(b.types().mid(firstLost, 5), (QList<int>{-4, 0, 0, 0, 1}));
        QCOMPARE(b.events[firstLost + 1].info, QStringLiteral("reConnectServerSuccess"));
        QCOMPARE(b.events[firstLost + 2].info, QStringLiteral("authenticating..."));
        QTRY_COMPARE_WITH_TIMEOUT(silent.controls().size(), 2, 5000);
        QCOMPARE(silent.controls()[1]->messages.first().value("type").toString(),
                 QStringLiteral("LOGIN"));
        QCOMPARE(silent.controls()[1]->rawFrames.first(), silent.controls()[0]->rawFrames.first());

        // A failing reconnect repeats -4 and -6 every tick.
        const int firstLostC = c.types().indexOf(-4);
        QVERIFY(c.events[firstLostC].atMs - loginC >= 9500);
        const QList<int> tail = c.types().mid(firstLostC);
        QCOMPARE(tail.mid(0, 4), (QList<int>{-4, -6, -4, -6}));
        const qint64 between = c.events[firstLostC + 2].atMs - c.events[firstLostC].atMs;
        QVERIFY2(between >= 4000 && between <= 6500, qPrintable(QString::number(between)));
        QCOMPARE(c.events[firstLostC + 1].info, QStringLiteral("reConnectServerFail"));

        // No answer to LOGIN: neither heartbeats nor reconnects.
        QCOMPARE(d.types(), QList<int>{0});
        QCOMPARE(mute.connections.size(), size_t(1));

        const QStringList log = LogCapture::instance().peek();
        QVERIFY(log.contains("reStart nas.example.test"));
        QVERIFY(log.contains("reConnectServer[OK] nas.example.test"));
        QVERIFY(log.contains("authenticating[认证中]"));
        QVERIFY(log.contains("reConnectServerFail[重连服务器失败] nas.example.test"));
        QVERIFY(std::any_of(log.begin(), log.end(), [](const QString &l) {
            return l.startsWith("断线重连中,心跳间隔超时： ");
        }));

        for (Session *s : {&a, &b, &c, &d}) {
            s->tunnel->TunnelStop();
            QCOMPARE(s->events.last().type, -3);
        }
        // Stopped sessions stay quiet.
        const int before = a.events.size() + b.events.size() + c.events.size();
        QTest::qWait(5500);
        QCOMPARE(a.events.size() + b.events.size() + c.events.size(), before);
    }

    // A start at program start-up tries again, with growing pauses, until the relay server is
    // there; a start the user asks for fails once. A lost control connection shows at once.
    void controllerRetriesAutostartAndShowsALostConnection()
    {
        using State = TunnelStatus::State;
        QList<int> delays{TunnelController::FirstRetryDelayMs};
        while (delays.size() < 8)
            delays << TunnelController::nextRetryDelayMs(delays.last());
        QCOMPARE(delays, (QList<int>{1000, 2000, 4000, 8000, 16000, 32000, 60000, 60000}));
        for (int i = 0; i < 100; ++i) {
            const int jittered = TunnelController::jittered(60000);
            QVERIFY(jittered >= 54000 && jittered <= 66000);
        }

        TunnelRecord record;
        record.serverIp = "127.0.0.187"; // nothing listens there yet
        record.domain = "nas.example.test";
        TunnelController clicked(record);
        QSignalSpy clickedEvents(&clicked, &TunnelController::tunnelEvent);
        QVERIFY(!clicked.start());
        QCOMPARE(clicked.status().state, State::Stopped);

        TunnelController tunnel(record);
        QSignalSpy events(&tunnel, &TunnelController::tunnelEvent);
        tunnel.autostart();
        QCOMPARE(tunnel.status().state, State::Reconnecting);
        QCOMPARE(tunnel.status().stateReason,
                 QStringLiteral("服务器连接失败,检查您的本地网络是否稳定，防火墙等是否关闭"));
        QTRY_COMPARE_WITH_TIMEOUT(events.count(), 4, 3000); // the second try, a second later
        QCOMPARE(tunnel.status().state, State::Reconnecting);
        QCOMPARE(clickedEvents.count(), 2);

        FakeRelay relay;
        QVERIFY(relay.listen("127.0.0.187"));
        QTRY_COMPARE_WITH_TIMEOUT(tunnel.status().state, State::Running, 8000);
        QCOMPARE(clickedEvents.count(), 2);

        relay.closeAll();
        QTRY_COMPARE_WITH_TIMEOUT(tunnel.status().state, State::Reconnecting, 3000);
        QVERIFY(!tunnel.status().stateReason.isEmpty());
        // The reconnect itself keeps its timing: it waits for the silence rule.
        for (const QList<QVariant> &event : qAsConst(events))
            QVERIFY(event.at(0).toInt() != -4);
        tunnel.stop();
        QCOMPARE(tunnel.status().state, State::Stopped);
    }

    // A tunnel another program of this machine runs is left alone, and the holder is named;
    // once it lets go, the start takes the lock, and the stop gives it back.
    void controllerLeavesATunnelHeldElsewhereAlone()
    {
        using State = TunnelStatus::State;
        QTemporaryDir locks;
        Environment::Scope environment;
        environment->tunnelLockFolder = locks.path();
        FakeRelay relay;
        QVERIFY(relay.listen("127.0.0.188"));
        TunnelRecord record;
        record.serverIp = "127.0.0.188";
        record.domain = "nas.example.test";
        const QString path = TunnelLock::filePath(locks.path(), record.domain);
        auto other = std::make_unique<QLockFile>(path);
        QVERIFY(other->tryLock(0));

        TunnelController tunnel(record);
        QSignalSpy changes(&tunnel, &TunnelController::statusChanged);
        tunnel.autostart();
        const QString held = TunnelLock::heldText(QStringLiteral("%1（进程 %2）")
                                                      .arg(QCoreApplication::applicationName())
                                                      .arg(QCoreApplication::applicationPid()));
        QCOMPARE(tunnel.status().state, State::Stopped);
        QCOMPARE(tunnel.status().stateReason, held);
        QVERIFY(tunnel.log().contains(held));
        QVERIFY(changes.count() > 0);
        QVERIFY(!tunnel.session());
        QTest::qWait(1500); // an autostart would have tried again by now
        QVERIFY(relay.controls().isEmpty());

        other.reset();
        QVERIFY(tunnel.start());
        QTRY_COMPARE(tunnel.status().state, State::Running);
        QVERIFY(!QLockFile(path).tryLock(0));
        tunnel.stop();
        QCOMPARE(tunnel.status().state, State::Stopped);
        QVERIFY(QLockFile(path).tryLock(0));
    }

    // A running tunnel looks at its local service by itself: a service that dies shows without a
    // visitor and one that comes back clears; a reconnect and a new address forget what was found.
    void controllerWatchesTheLocalService()
    {
        using State = TunnelStatus::State;
        using Local = TunnelStatus::LocalService;
        const QHostAddress host("127.0.0.189");
        QTcpServer local, closed;
        QVERIFY(local.listen(host));
        QVERIFY(closed.listen(host));
        const quint16 port = local.serverPort(), closedPort = closed.serverPort();
        closed.close();
        FakeRelay relay;
        relay.innerInfo =
            QString::fromUtf8(QJsonDocument(QJsonObject{{"name", "nas"},
                                                        {"serverIp", host.toString()},
                                                        {"domain", "nas.example.test"},
                                                        {"clientPort", port}})
                                  .toJson(QJsonDocument::Compact));
        QVERIFY(relay.listen(host.toString()));
        TunnelRecord record;
        record.serverIp = record.clientIp = host.toString();
        record.clientPort = port;
        TunnelController tunnel(record);
        tunnel.setHealthCheckInterval(200);
        QVERIFY(tunnel.start());
        QTRY_COMPARE_WITH_TIMEOUT(tunnel.status().localService, Local::Reachable, 5000);
        QCOMPARE(tunnel.status().state, State::Running);

        local.close();
        QTRY_COMPARE_WITH_TIMEOUT(tunnel.status().state, State::LocalUnreachable, 3000);
        QVERIFY2(tunnel.status().stateReason.contains(QStringLiteral("连接被拒绝")),
                 qPrintable(tunnel.status().stateReason));
        QTRY_VERIFY_WITH_TIMEOUT(tunnel.log().contains(QStringLiteral("本地服务连接失败：")), 3000);
        QVERIFY(local.listen(host, port));
        QTRY_COMPARE_WITH_TIMEOUT(tunnel.status().state, State::Running, 3000);
        QVERIFY(tunnel.log().contains(QStringLiteral("本地服务已恢复：")));
        QCOMPARE(tunnel.log().count(QStringLiteral("本地服务连接失败：")), 1);

        // The log keeps the session's words; the status says it for people.
        const QString silence("Automatic stabilization..., the heartbeat interval timeout：6");
        tunnel.tunnelInfo(TunnelEvent::Reconnecting, silence);
        QCOMPARE(tunnel.status().localService, Local::Unknown);
        QCOMPARE(tunnel.status().stateReason, QStringLiteral("与服务器的连接超时（6 秒无响应）"));
        QVERIFY(tunnel.log().contains(silence));
        QCOMPARE(TunnelController::userReason(TunnelEvent::Failed, QStringLiteral("数据解析异常")),
                 QStringLiteral("服务器返回的数据无法识别，隧道已停止"));
        tunnel.tunnelInfo(TunnelEvent::SignedIn, QStringLiteral("login success!"));
        QTRY_COMPARE_WITH_TIMEOUT(tunnel.status().localService, Local::Reachable, 3000);

        tunnel.record().clientPort = closedPort;
        tunnel.recordChanged();
        QCOMPARE(tunnel.status().localService, Local::Unknown);
        QCOMPARE(tunnel.status().state, State::Running);
        QTRY_COMPARE_WITH_TIMEOUT(tunnel.status().state, State::LocalUnreachable, 3000);
        tunnel.stop();
        QCOMPARE(tunnel.status().state, State::Stopped);
    }
};

QTEST_GUILESS_MAIN(TstTunnel)
#include "tst_tunnel.moc"
