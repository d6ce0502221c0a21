// The whole program: the real borvane executable, headless, against the real reference service
// on the client's built-in addresses. Saved credentials and the tunnel's autostart flag make the
// client sign in, list and start the demo tunnel by itself; visitors then talk through the
// tunnel's public port to a local service in this test. The service is killed and started
// again (the client reconnects by itself), and finally the same tunnel signs in elsewhere (the
// client is pushed off). What the client did is read from its own log file. Then the headless
// agent beside it is set up from a terminal and runs the same tunnel, which the desktop client
// started beside it must leave alone.
#include "relaypeer.h"
#include "serverprocess.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSettings>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>
#include <QUrlQuery>

#include <memory>
#include <vector>

#ifdef Q_OS_LINUX
#include <csignal>
#include <sys/prctl.h>
#endif

#ifndef BORVANE_CLIENT_BIN
#error "BORVANE_CLIENT_BIN must name the borvane executable"
#endif
#ifndef BORVANE_AGENT_BIN
#error "BORVANE_AGENT_BIN must name the borvane-agent executable"
#endif
#ifndef BORVANE_API_BASE_URL
#error "BORVANE_API_BASE_URL must hold the client's built-in API address"
#endif

namespace {

const QString DemoPhone = QStringLiteral("13800000000");
const QString DemoPassword = QStringLiteral("demo123456");
const QString PublicPorts = QStringLiteral("20100-20110");
const quint16 RelayPort = 8888; // the client always uses it
const int PayloadBytes = 1024 * 1024;
const int Visitors = 4;
// Paced so that the visitors' bytes take several seconds, over at least one heartbeat tick.
const int BandwidthMbps = 4;
const QString StopText = QStringLiteral(
    "该隧道在其他设备登录，本机已被挤掉线，请您尝试现在重新启动或更换令牌后重新启动");

// The service behind the tunnel: echoes every byte back on the same connection.
class EchoService : public QObject
{
public:
    bool listen(const QHostAddress &address)
    {
        connect(&server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *s = server.nextPendingConnection()) {
                ++connections;
                connect(s, &QTcpSocket::readyRead, s, [this, s] {
                    const QByteArray bytes = s->readAll();
                    received += bytes.size();
                    s->write(bytes);
                });
                connect(s, &QTcpSocket::disconnected, s, &QObject::deleteLater);
            }
        });
        return server.listen(address, 0);
    }

    QTcpServer server;
    int connections = 0;
    qint64 received = 0;
};

// One visitor of the public port: sends a random payload and expects it back unchanged.
struct Visitor
{
    QTcpSocket socket;
    QByteArray sent;
    QByteArray received;

    void start(const QString &host, quint16 port, int bytes)
    {
        sent.resize(bytes);
        QRandomGenerator::global()->fillRange(reinterpret_cast<quint32 *>(sent.data()),
                                              bytes / int(sizeof(quint32)));
        QObject::connect(&socket, &QTcpSocket::connected, [this] { socket.write(sent); });
        QObject::connect(&socket, &QTcpSocket::readyRead, [this] { received += socket.readAll(); });
        socket.connectToHost(host, port);
    }
    bool done() const
    {
        return received.size() >= sent.size() ||
               socket.state() == QAbstractSocket::UnconnectedState;
    }
};

// The client under test. On Linux it dies with this test, so a test killed at its time limit
// leaves no client behind holding the tunnel.
class ClientProcess : public QProcess
{
protected:
#ifdef Q_OS_LINUX
    void setupChildProcess() override
    {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
    }
#endif
};

// "borvane-agent run" beside the client, its output collected.
struct AgentRun
{
    ClientProcess process;
    QByteArray output;

    bool start(const QString &workingDirectory)
    {
        process.setWorkingDirectory(workingDirectory);
        process.setProcessChannelMode(QProcess::MergedChannels);
        QObject::connect(&process, &QProcess::readyRead, [this] { output += process.readAll(); });
        process.start(QStringLiteral(BORVANE_AGENT_BIN), {"run"});
        return process.waitForStarted(10000);
    }
};

// The settings file beside the client is the user's: it is set aside for the test and put
// back afterwards. A copy is kept on disk too, so a run that was killed half-way gives the
// original back at the next run instead of losing it.
class SettingsGuard
{
public:
    explicit SettingsGuard(const QString &clientDir)
        : path(clientDir + QStringLiteral("/config/main.ini")),
          backup(clientDir + QStringLiteral("/config/main.ini.before-client-e2e"))
    {
        QDir().mkpath(clientDir + QStringLiteral("/config"));
        if (QFile::exists(backup)) {
            QFile::remove(path);
            QFile::rename(backup, path);
        }
        hadFile = QFile::exists(path);
        if (hadFile)
            QFile::copy(path, backup);
    }
    ~SettingsGuard()
    {
        QFile::remove(path);
        if (hadFile)
            QFile::rename(backup, path);
    }

    bool write(const QByteArray &text)
    {
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return false;
        file.setPermissions(QFile::ReadOwner | QFile::WriteOwner);
        return file.write(text) == text.size();
    }

    QString path;
    QString backup;
    bool hadFile = false;
};

} // namespace

class TestClientEndToEnd : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void wholeProgram();
    void agent();

private:
    int runAgent(const QStringList &args, const QByteArray &input, QByteArray *output);
    QJsonObject getJson(const QString &path, const QUrlQuery &query);
    bool visitorsGetThrough(int visitors, int bytes);
    QString clientLog() const;
    int clientLogCount(const QString &text) const { return clientLog().count(text); }
    void startClient();
    bool stopClient();
    QByteArray diagnostics() const;

    QString host;
    quint16 apiPort = 0;
    std::unique_ptr<ServerProcess> server;
    QStringList serverArgs;
    EchoService local;
    std::unique_ptr<SettingsGuard> settings;
    QTemporaryDir clientDir;
    ClientProcess client;
    QByteArray clientOutput;
    QNetworkAccessManager network;
    QString domain;
    quint16 publicPort = 0;
    QString tunnelToken;
};

QJsonObject TestClientEndToEnd::getJson(const QString &path, const QUrlQuery &query)
{
    QUrl url(QStringLiteral(BORVANE_API_BASE_URL) + path);
    url.setQuery(query);
    std::unique_ptr<QNetworkReply> reply(network.get(QNetworkRequest(url)));
    QSignalSpy finished(reply.get(), &QNetworkReply::finished);
    if (!reply->isFinished() && !finished.wait(10000))
        return {};
    return QJsonDocument::fromJson(reply->readAll()).object();
}

bool TestClientEndToEnd::visitorsGetThrough(int visitors, int bytes)
{
    std::vector<std::unique_ptr<Visitor>> list;
    for (int i = 0; i < visitors; ++i) {
        list.push_back(std::make_unique<Visitor>());
        list.back()->start(host, publicPort, bytes);
    }
    auto allDone = [&] {
        for (const auto &v : list)
            if (!v->done())
                return false;
        return true;
    };
    if (!QTest::qWaitFor(allDone, 30000)) {
        qWarning("visitors still waiting after 30 s");
        return false;
    }
    for (const auto &v : list) {
        if (v->received != v->sent) {
            qWarning("a visitor got %d of %d bytes back (%s)", int(v->received.size()),
                     int(v->sent.size()),
                     v->received == v->sent.left(v->received.size()) ? "cut short" : "changed");
            return false;
        }
    }
    return true;
}

// Every log file the client wrote in its working directory, as one text.
QString TestClientEndToEnd::clientLog() const
{
    QString text;
    const QDir logs(clientDir.filePath(QStringLiteral("logs")));
    for (const QString &name : logs.entryList({QStringLiteral("*.log")}, QDir::Files, QDir::Name)) {
        QFile file(logs.filePath(name));
        if (file.open(QIODevice::ReadOnly))
            text += QString::fromUtf8(file.readAll());
    }
    return text;
}

QByteArray TestClientEndToEnd::diagnostics() const
{
    return "\n--- client log ---\n" + clientLog().right(6000).toUtf8() +
           "\n--- client output ---\n" + clientOutput.right(2000) + "\n--- service log ---\n" +
           (server ? server->log.right(4000) : QByteArray());
}

void TestClientEndToEnd::startClient()
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("QT_LOGGING_RULES"), QStringLiteral("qt.qpa.*=false"));
    // No desktop of the user is touched: shortcuts and autostart entries would land here.
    env.insert(QStringLiteral("HOME"), clientDir.filePath(QStringLiteral("home")));
    env.insert(QStringLiteral("XDG_CONFIG_HOME"),
               clientDir.filePath(QStringLiteral("home/.config")));
    env.insert(QStringLiteral("XDG_DATA_HOME"), clientDir.filePath(QStringLiteral("home/.local")));
    env.insert(QStringLiteral("LC_ALL"), QStringLiteral("C.UTF-8"));
    QDir().mkpath(clientDir.filePath(QStringLiteral("home/.config")));
    client.setProcessEnvironment(env);
    client.setWorkingDirectory(clientDir.path());
    client.setProcessChannelMode(QProcess::MergedChannels);
    client.start(QStringLiteral(BORVANE_CLIENT_BIN), QStringList());
}

// SIGTERM ends the client at once; a kill only when it does not end in time.
bool TestClientEndToEnd::stopClient()
{
    if (client.state() == QProcess::NotRunning)
        return true;
    client.terminate();
    if (client.waitForFinished(10000))
        return true;
    client.kill();
    client.waitForFinished(5000);
    return false;
}

void TestClientEndToEnd::initTestCase()
{
    const QUrl api(QStringLiteral(BORVANE_API_BASE_URL));
    host = api.host();
    apiPort = quint16(api.port(80));
    if (QHostAddress(host).isNull() || !QHostAddress(host).isLoopback())
        QSKIP("the client is built for a service that is not on a loopback address");

    // The client's addresses are fixed, so another service there makes this test impossible.
    // A connection test rather than a trial listen: the service's own sockets in TIME_WAIT
    // from a run a moment ago would refuse a plain listen, yet the service binds past them.
    for (quint16 port : {apiPort, RelayPort}) {
        QTcpSocket probe;
        probe.connectToHost(host, port);
        if (probe.waitForConnected(2000))
            QSKIP(qPrintable(QStringLiteral("%1:%2 is in use").arg(host).arg(port)));
    }
    QVERIFY(clientDir.isValid());
    QVERIFY(local.listen(QHostAddress(host)));
    connect(&client, &QProcess::readyReadStandardOutput, this,
            [this] { clientOutput += client.readAllStandardOutput(); });

    server = std::make_unique<ServerProcess>(host);
    serverArgs = QStringList{"--api-port",
                             QString::number(apiPort),
                             "--relay-port",
                             QString::number(RelayPort),
                             "--ports",
                             PublicPorts,
                             "--demo",
                             "--demo-client-port",
                             QString::number(local.server.serverPort()),
                             "--demo-bdw",
                             QString::number(BandwidthMbps)};
    if (!server->start(serverArgs)) {
        // Taken between the check above and the start, by another run of this test, say.
        if (server->log.contains("event=start-failed error=\"cannot listen"))
            QSKIP(server->log.constData());
        QFAIL(server->log.constData());
    }

    // The demo tunnel, as the service lists it to its owner.
    const QJsonObject signIn =
        getJson(QStringLiteral("user"), QUrlQuery{{"phone", DemoPhone}, {"pwd", DemoPassword}});
    QVERIFY2(signIn.value("flag").toBool(), QJsonDocument(signIn).toJson().constData());
    const QJsonObject account = signIn.value("data").toObject();
    const QString userId = QString::number(account.value("id").toVariant().toLongLong());
    const QJsonObject list =
        getJson(QStringLiteral("port/query/") + userId,
                QUrlQuery{{"userId", userId}, {"token", account.value("token").toString()}});
    QVERIFY2(list.value("flag").toBool(), QJsonDocument(list).toJson().constData());
    const QJsonObject tunnel = list.value("data").toArray().first().toObject();
    domain = tunnel.value("domain").toString();
    publicPort = quint16(tunnel.value("serverPort").toVariant().toInt());
    tunnelToken = tunnel.value("token").toString();
    QVERIFY(!domain.isEmpty());
    QVERIFY(publicPort != 0);
    QVERIFY(!tunnelToken.isEmpty());
    QCOMPARE(tunnel.value("clientPort").toVariant().toInt(), int(local.server.serverPort()));

    // What a user who ticked autostart and signed in once leaves behind.
    settings =
        std::make_unique<SettingsGuard>(QFileInfo(QStringLiteral(BORVANE_CLIENT_BIN)).path());
    QVERIFY(settings->write("[setting]\nusername=" + DemoPhone.toUtf8() + "\npassword=" +
                            DemoPassword.toUtf8() + "\n" + domain.toUtf8() + "=true\n"));
}

void TestClientEndToEnd::cleanupTestCase()
{
    const bool clientEnded = stopClient();
    settings.reset();
    const int serverExit = server ? server->stop() : 0;
    QVERIFY2(clientEnded, "the client did not end on SIGTERM");
    QCOMPARE(client.state(), QProcess::NotRunning);
    QCOMPARE(serverExit, 0);
}

void TestClientEndToEnd::wholeProgram()
{
    // 1. Signs in, lists and starts the tunnel by itself.
    startClient();
    QVERIFY2(client.waitForStarted(10000), qPrintable(client.errorString()));
    QTRY_VERIFY2_WITH_TIMEOUT(clientLogCount(QStringLiteral("登录成功 ") + domain) == 1,
                              diagnostics(), 20000);
    QVERIFY(clientLog().contains(QStringLiteral("ConnServerSuccess ") + domain));
    QVERIFY(server->waitForLog("event=login", 1));

    // Bytes arrive intact both ways, for several visitors at once.
    QVERIFY2(visitorsGetThrough(Visitors, PayloadBytes), diagnostics());
    QCOMPARE(local.received, qint64(Visitors) * PayloadBytes);
    // Heartbeats went on during the transfer and were answered: no reconnect.
    QVERIFY(!clientLog().contains(QStringLiteral("断线重连中")));

    // The agent beside the client leaves the client's tunnel alone and says who holds it.
    AgentRun agent;
    QVERIFY(agent.start(clientDir.path()));
    const QByteArray held = QStringLiteral("stopped (该隧道已在本机的borvane（进程 %1）中运行，")
                                .arg(client.processId())
                                .toUtf8();
    QTRY_VERIFY2_WITH_TIMEOUT(agent.output.contains(held), agent.output + diagnostics(), 20000);
    agent.process.terminate();
    QVERIFY(agent.process.waitForFinished(2000));
    QCOMPARE(server->log.count("event=login tunnel="), 1);

    // 2. The service dies and comes back on the same database: the client notices the silence
    // at a heartbeat tick, reconnects and signs in again by itself.
    server->kill();
    QVERIFY2(server->start(serverArgs), server->log.constData());
    QTRY_VERIFY2_WITH_TIMEOUT(clientLog().contains(QStringLiteral("断线重连中,心跳间隔超时：")),
                              diagnostics(), 25000);
    QTRY_VERIFY2_WITH_TIMEOUT(clientLog().contains(QStringLiteral("reConnectServer[OK] ") + domain),
                              diagnostics(), 20000);
    QVERIFY(clientLog().contains(QStringLiteral("reConn,")));
    QTRY_VERIFY2_WITH_TIMEOUT(clientLogCount(QStringLiteral("登录成功 ") + domain) == 2,
                              diagnostics(), 15000);
    QVERIFY(server->waitForLog("event=login", 2));
    QVERIFY2(visitorsGetThrough(Visitors, PayloadBytes), diagnostics());
    QCOMPARE(local.received, 2 * qint64(Visitors) * PayloadBytes);

    // 3. The same tunnel signs in elsewhere: the client is pushed off and stops the tunnel.
    RelayPeer elsewhere;
    QVERIFY(elsewhere.connectTo(host, RelayPort));
    elsewhere.send(loginFrame(tunnelToken));
    QCOMPARE(elsewhere.nextFrame().value("msg").toString(), QStringLiteral("LOGINOK"));
    QVERIFY(server->waitForLog("event=stop-sent", 1));
    QTRY_VERIFY2_WITH_TIMEOUT(clientLog().contains(StopText + ' ' + domain), diagnostics(), 10000);
    QTRY_VERIFY2_WITH_TIMEOUT(clientLog().contains(QStringLiteral("隧道已停止 ") + domain),
                              diagnostics(), 5000);
    const QString log = clientLog();
    QVERIFY(log.indexOf(StopText) < log.lastIndexOf(QStringLiteral("隧道已停止")));

    // The public port now leads to the new sign-in, not to the client's local service.
    const int localBefore = local.connections;
    QTcpSocket visitor;
    visitor.connectToHost(host, publicPort);
    QVERIFY(visitor.waitForConnected(5000));
    const QJsonObject request = elsewhere.nextFrame(10000);
    QCOMPARE(request.value("type").toString(), QStringLiteral("CONN"));
    RelayPeer data;
    QVERIFY(data.connectTo(host, RelayPort));
    data.send(connFrame(request.value("uid").toString()) + "served elsewhere");
    QByteArray served;
    QTRY_COMPARE_WITH_TIMEOUT(served += visitor.readAll(), QByteArray("served elsewhere"), 10000);
    QCOMPARE(local.connections, localBefore);
    // The client stays stopped and alive: it does not sign in again by itself.
    QCOMPARE(clientLogCount(QStringLiteral("登录成功 ") + domain), 2);
    QVERIFY(!server->log.contains("event=login-refused"));
    QCOMPARE(client.state(), QProcess::Running);

    // 4. Nothing is left running: the client ends on SIGTERM, the service cleanly.
    visitor.abort();
    data.socket.abort();
    elsewhere.socket.abort();
    QVERIFY2(stopClient(), "the client did not end on SIGTERM");
    QVERIFY(server->waitForLog("event=tunnel-offline", 1));
}

// One command of the agent, beside the client; its output (both channels) and exit code.
int TestClientEndToEnd::runAgent(const QStringList &args, const QByteArray &input,
                                 QByteArray *output)
{
    QProcess agent;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_CONFIG_HOME"),
               clientDir.filePath(QStringLiteral("home/.config")));
    agent.setProcessEnvironment(env);
    agent.setWorkingDirectory(clientDir.path());
    agent.setProcessChannelMode(QProcess::MergedChannels);
    agent.start(QStringLiteral(BORVANE_AGENT_BIN), args);
    agent.write(input);
    agent.closeWriteChannel();
    if (!agent.waitForFinished(30000)) {
        agent.kill();
        agent.waitForFinished(5000);
        return -1;
    }
    *output = agent.readAll();
    return agent.exitStatus() == QProcess::NormalExit ? agent.exitCode() : -1;
}

void TestClientEndToEnd::agent()
{
    // Set up without a screen: sign-in from piped input, the list, the autostart flag.
    QVERIFY(settings->write(QByteArray()));
    QByteArray out;
    QCOMPARE(runAgent({"login"}, DemoPhone.toUtf8() + "\n" + DemoPassword.toUtf8() + "\n", &out),
             0);
    QSettings saved(settings->path, QSettings::IniFormat);
    QCOMPARE(saved.value("setting/username").toString(), DemoPhone);
    QCOMPARE(saved.value("setting/password").toString(), DemoPassword);
    QCOMPARE(runAgent({"login"}, DemoPhone.toUtf8() + "\nwrong\n", &out), 3);
    QVERIFY2(out.contains("sign-in refused"), out.constData());
    QCOMPARE(runAgent({"list"}, {}, &out), 0);
    QVERIFY2(QRegularExpression(QRegularExpression::escape(domain) + "\\s+stopped\\s+off")
                 .match(QString::fromUtf8(out))
                 .hasMatch(),
             out.constData());
    QCOMPARE(runAgent({"enable", "no-such." + domain}, {}, &out), 1);
    QVERIFY2(out.contains("the account has no tunnel"), out.constData());
    QCOMPARE(runAgent({"enable"}, {}, &out), 1);
    QCOMPARE(runAgent({"enable", domain}, {}, &out), 0);
    QCOMPARE(runAgent({"list", "--print"}, {}, &out), 1);

    // The user unit, written where the user's systemd looks, and removed again.
    QCOMPARE(runAgent({"install-service", "--user"}, {}, &out), 0);
    QFile unit(clientDir.filePath("home/.config/systemd/user/borvane-agent.service"));
    QVERIFY2(unit.open(QIODevice::ReadOnly), out.constData());
    const QByteArray unitText = unit.readAll();
    QVERIFY2(unitText.contains("\nExecStart=\"" + QFileInfo(BORVANE_AGENT_BIN).path().toUtf8() +
                               "/borvane-agent\" run\n"),
             unitText.constData());
    QVERIFY(unitText.contains("\nWantedBy=default.target"));
    QVERIFY(!unitText.contains("User=") && !unitText.contains('@'));
    QCOMPARE(runAgent({"uninstall-service", "--user"}, {}, &out), 0);
    QVERIFY(!unit.exists());
    saved.sync();
    QCOMPARE(saved.value("setting/" + domain).toString(), QStringLiteral("true"));

    // The agent starts the tunnel by itself; visitors get through.
    AgentRun agent;
    QVERIFY(agent.start(clientDir.path()));
    QTRY_VERIFY2_WITH_TIMEOUT(agent.output.contains("tunnel " + domain.toUtf8() + ": running"),
                              agent.output + diagnostics(), 20000);
    QVERIFY2(visitorsGetThrough(1, PayloadBytes / 4), diagnostics());
    QCOMPARE(runAgent({"status"}, {}, &out), 0);
    QVERIFY2(out.contains(domain.toUtf8() + "  running"), out.constData());

    // The desktop client beside it leaves the agent's tunnel alone and says who holds it.
    const int logins = server->log.count("event=login tunnel=");
    startClient();
    QVERIFY(client.waitForStarted(10000));
    const QString held = QStringLiteral("该隧道已在本机的borvane-agent（进程 %1）中运行，")
                             .arg(agent.process.processId());
    QTRY_VERIFY2_WITH_TIMEOUT(clientLog().contains(held), diagnostics(), 20000);
    QVERIFY2(visitorsGetThrough(1, PayloadBytes / 4), diagnostics());
    QCOMPARE(server->log.count("event=login tunnel="), logins);

    // SIGTERM ends the agent within 2 s, cleanly.
    QElapsedTimer clock;
    clock.start();
    agent.process.terminate();
    QVERIFY(agent.process.waitForFinished(2000));
    QVERIFY2(clock.elapsed() < 2000, QByteArray::number(clock.elapsed()));
    QCOMPARE(agent.process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(agent.process.exitCode(), 0);
    QVERIFY2(stopClient(), "the client did not end on SIGTERM");
}

QTEST_GUILESS_MAIN(TestClientEndToEnd)
#include "tst_client_e2e.moc"
