#include "tunnelcontroller.h"

#include "proxytunnelwin.h"
#include "requestlog.h"
#include "tunnel.h"
#include "tunnelevent.h"
#include "tunnellock.h"

#include "platform/environment.h"

#include <QDateTime>
#include <QDebug>
#include <QFutureWatcher>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QTimer>
#include <QtConcurrent>

#include <utility>

namespace {

struct LocalProbe
{
    QString address;
    bool ok = false;
    QString words; // why not, for a person
};

QString localAddressOf(const TunnelRecord &r)
{
    return r.clientIp + QStringLiteral(":") + QString::number(r.clientPort);
}

QString socketWords(QAbstractSocket::SocketError error)
{
    switch (error) {
    case QAbstractSocket::ConnectionRefusedError:
        return QStringLiteral("连接被拒绝，本地服务可能未启动");
    case QAbstractSocket::HostNotFoundError:
        return QStringLiteral("找不到该地址");
    case QAbstractSocket::NetworkError:
        return QStringLiteral("网络不可达");
    case QAbstractSocket::SocketTimeoutError:
        return QStringLiteral("连接超时");
    default:
        return QStringLiteral("无法连接");
    }
}

// Runs on a thread of the global pool, with copies of the record's values; sends nothing.
LocalProbe probeLocalService(const QString &domain, const QString &ip, int port, bool logEach)
{
    LocalProbe probe;
    probe.address = ip + QStringLiteral(":") + QString::number(port);
    if (port <= 0 || port > 65535) {
        probe.words = QStringLiteral("端口无效");
    } else {
        QTcpSocket socket;
        socket.connectToHost(ip, quint16(port));
        probe.ok = socket.waitForConnected(TunnelController::LocalTestTimeoutMs);
        if (!probe.ok)
            probe.words = socketWords(socket.error());
        socket.abort();
    }
    if (logEach)
        qDebug() << (probe.ok ? "TestLocalhost[Ok]" : "TestLocalhost[Error]") << domain << ip
                 << port;
    return probe;
}

// "address (system error)" of a visitor's failed local connect, the error in the user's words.
QString relayFailureWords(const QString &failure)
{
    const int open = failure.indexOf(QStringLiteral(" ("));
    if (open < 0 || !failure.endsWith(QLatin1Char(')')))
        return failure;
    const QString error = failure.mid(open + 2, failure.size() - open - 3);
    return failure.left(open) + QStringLiteral(" (") + TunnelController::localFailureWords(error) +
           QStringLiteral(")");
}

} // namespace

TunnelController::TunnelController(const TunnelRecord &record, QObject *parent)
    : QObject(parent), tunnelRecord(record), sampler(new QTimer(this)),
      retryTimer(new QTimer(this)), healthTimer(new QTimer(this))
{
    healthTimer->setInterval(healthCheckIntervalMs);
    connect(healthTimer, &QTimer::timeout, this, [this] { probeLocal(false); });
    sampler->setInterval(SampleIntervalMs);
    connect(sampler, &QTimer::timeout, this, &TunnelController::sample);
    retryTimer->setSingleShot(true);
    connect(retryTimer, &QTimer::timeout, this, &TunnelController::retryStart);
    // Another program of this machine may start the tunnel as soon as this one has stopped it.
    connect(this, &TunnelController::statusChanged, this, [this] {
        if (lock && current.state == TunnelStatus::State::Stopped)
            lock->release();
    });
    recordChanged();
}

TunnelController::~TunnelController()
{
    if (tunnel) {
        // Nobody is left to hear the stop.
        tunnel->disconnect(this);
        tunnel->TunnelStop();
        tunnel->deleteLater();
        tunnel = nullptr;
    }
}

void TunnelController::recordChanged()
{
    const TunnelRecord &r = tunnelRecord;
    const QString localAddress = localAddressOf(r);
    const QString publicAddress =
        r.type == 0 ? r.domain : r.domain + QStringLiteral(":") + QString::number(r.serverPort);
    if (current.name == r.name && current.domain == r.domain &&
        current.publicAddress == publicAddress && current.localAddress == localAddress)
        return;
    const bool moved = current.localAddress != localAddress;
    current.name = r.name;
    current.domain = r.domain;
    current.publicAddress = publicAddress;
    current.localAddress = localAddress;
    // What was found at the old address says nothing about the new one.
    if (moved)
        resetLocalService();
    emit statusChanged();
}

void TunnelController::clearLog()
{
    logText.clear();
    received = 0;
    sent = 0;
}

bool TunnelController::start()
{
    releaseSession();
    if (!holdTunnel())
        return false;
    // Held locally: the session may already be released by an event it emits from inside
    // TunnelStart.
    auto *session = new Tunnel;
    tunnel = session;
    // A retry goes on showing why the tunnel is not up yet.
    if (current.state != TunnelStatus::State::Reconnecting || !retrying) {
        current.state = TunnelStatus::State::Starting;
        current.stateReason.clear();
    }
    resetFigures();
    sinceSample.start();
    sampler->start();
    emit statusChanged();
    connect(session, &Tunnel::tunnel_info, this, &TunnelController::tunnelInfo);
    connect(session, &Tunnel::controlLost, this, &TunnelController::controlLost);
    session->setRequestLog(requestLog);
    session->TunnelInit(&tunnelRecord);
    const bool connected = session->TunnelStart();
    if (connected)
        retrying = false; // from here on the session reconnects by itself
    return connected;
}

bool TunnelController::holdTunnel()
{
    const QString folder = Environment::current().tunnelLockFolder;
    if (!lock || lock->domain() != tunnelRecord.domain) {
        lock.reset(); // a renamed tunnel lets go of its old name first
        lock = std::make_unique<TunnelLock>(folder, tunnelRecord.domain);
    }
    if (lock->acquire())
        return true;
    // Not a failure to wait out: the other program keeps the tunnel until it is stopped there.
    retrying = false;
    retryTimer->stop();
    const QString reason = TunnelLock::heldText(lock->holder());
    qDebug().noquote() << reason << tunnelRecord.domain;
    current.state = TunnelStatus::State::Starting; // so that every view hears the stop
    tunnelInfo(TunnelEvent::Failed, reason);
    return false;
}

void TunnelController::autostart()
{
    retrying = true;
    retryDelayMs = FirstRetryDelayMs;
    retryStart();
}

void TunnelController::retryStart()
{
    if (start() || !retrying)
        return;
    retryTimer->start(jittered(retryDelayMs));
    retryDelayMs = nextRetryDelayMs(retryDelayMs);
}

int TunnelController::jittered(int delayMs)
{
    const int spread = delayMs * RetryJitterPercent / 100;
    return delayMs - spread + int(QRandomGenerator::global()->bounded(2 * spread + 1));
}

void TunnelController::controlLost(const QString &reason)
{
    using State = TunnelStatus::State;
    if (current.state != State::Running && current.state != State::LocalUnreachable)
        return;
    current.state = State::Reconnecting;
    current.stateReason = QStringLiteral("与服务器的连接已断开");
    qDebug() << "controlLost" << tunnelRecord.domain << reason;
    resetLocalService();
    emit statusChanged();
}

void TunnelController::stop()
{
    retrying = false;
    retryTimer->stop();
    logText += QStringLiteral("人为停止隧道\n");
    if (tunnel) {
        tunnel->TunnelStop(); // reports Stopped, which releases it
        return;
    }
    // Nothing left to stop: only what the views show was out of date.
    current.state = TunnelStatus::State::Stopped;
    current.stateReason.clear();
    emit statusChanged();
}

void TunnelController::setLocalProbeResult(bool ok)
{
    using Local = TunnelStatus::LocalService;
    if (!ok && current.localService == Local::Unreachable)
        return; // the test that said so also said why
    setLocalService(ok ? Local::Reachable : Local::Unreachable,
                    ok ? QString()
                       : current.localAddress + QStringLiteral(" (") +
                             socketWords(QAbstractSocket::UnknownSocketError) +
                             QStringLiteral(")"));
}

void TunnelController::testLocalService()
{
    probeLocal(true);
}

void TunnelController::setHealthCheckInterval(int ms)
{
    healthCheckIntervalMs = ms;
    healthTimer->setInterval(ms);
}

void TunnelController::probeLocal(bool logEach)
{
    using Local = TunnelStatus::LocalService;
    if (!logEach) {
        // A check that has not answered yet is still the latest word.
        if (healthCheckInFlight)
            return;
        healthCheckInFlight = true;
    }
    const TunnelRecord &r = tunnelRecord;
    // The watcher belongs to this tunnel: a probe that ends after it is gone reports nowhere.
    auto *watcher = new QFutureWatcher<LocalProbe>(this);
    connect(watcher, &QFutureWatcher<LocalProbe>::finished, this, [this, watcher, logEach] {
        const LocalProbe probe = watcher->result();
        watcher->deleteLater();
        if (!logEach)
            healthCheckInFlight = false;
        // A probe of an address that has been edited since says nothing about the new one.
        if (probe.address != localAddressOf(tunnelRecord))
            return;
        if (probe.ok) {
            setLocalService(Local::Reachable, QString());
        } else {
            if (!logEach && tunnel && current.localService != Local::Unreachable)
                ++healthFailuresUnlogged; // told once, in the next sample's line
            setLocalService(Local::Unreachable, probe.address + QStringLiteral(" (") + probe.words +
                                                    QStringLiteral(")"));
        }
        emit localTested(probe.ok);
    });
    // The connect waits up to LocalTestTimeoutMs, so never on the GUI thread.
    watcher->setFuture(
        QtConcurrent::run(probeLocalService, r.domain, r.clientIp, r.clientPort, logEach));
}

void TunnelController::setLocalService(TunnelStatus::LocalService service, const QString &reason)
{
    using Local = TunnelStatus::LocalService;
    if (current.localService == service && current.localReason == reason)
        return;
    const bool cameBack = current.localService == Local::Unreachable && service == Local::Reachable;
    current.localService = service;
    current.localReason = reason;
    if (cameBack && tunnel) {
        appendLog(QStringLiteral("本地服务已恢复：") + current.localAddress);
        emit logChanged();
    }
    // The run log hears of each change while the tunnel runs, not of every check.
    if (tunnel && service != Local::Unknown)
        qDebug().noquote() << (service == Local::Reachable ? "LocalService[Ok]"
                                                           : "LocalService[Down]")
                           << tunnelRecord.domain
                           << (reason.isEmpty() ? current.localAddress : reason);
    applyLocalService();
    emit statusChanged();
}

void TunnelController::resetLocalService()
{
    current.localService = TunnelStatus::LocalService::Unknown;
    current.localReason.clear();
    healthFailuresUnlogged = 0;
    applyLocalService();
    // Look again at once rather than at the next tick.
    if (healthTimer->isActive())
        probeLocal(false);
}

// A running tunnel whose visitors cannot reach the local service is not simply running.
void TunnelController::applyLocalService()
{
    using State = TunnelStatus::State;
    if (current.state != State::Running && current.state != State::LocalUnreachable)
        return;
    const bool unreachable = current.localService == TunnelStatus::LocalService::Unreachable;
    current.state = unreachable ? State::LocalUnreachable : State::Running;
    current.stateReason = unreachable ? current.localReason : QString();
}

QString TunnelController::localFailureWords(const QString &systemError)
{
    const QString e = systemError.toLower();
    if (e.contains(QLatin1String("refused")))
        return socketWords(QAbstractSocket::ConnectionRefusedError);
    if (e.contains(QLatin1String("timed out")) || e.contains(QLatin1String("timeout")))
        return socketWords(QAbstractSocket::SocketTimeoutError);
    if (e.contains(QLatin1String("unreachable")) || e.contains(QLatin1String("no route")))
        return socketWords(QAbstractSocket::NetworkError);
    return systemError; // the platform's own words, or the system's in the user's language
}

QString TunnelController::userReason(int type, const QString &info)
{
    static const QRegularExpression silence(QStringLiteral(
        "^Automatic stabilization\\.\\.\\., the heartbeat interval timeout：(-?\\d+)$"));
    switch (type) {
    case TunnelEvent::Reconnecting: {
        const QRegularExpressionMatch m = silence.match(info);
        if (m.hasMatch())
            return QStringLiteral("与服务器的连接超时（%1 秒无响应）").arg(m.captured(1));
        break;
    }
    case TunnelEvent::ReconnectFailed:
        if (info == QLatin1String("reConnectServerFail"))
            return QStringLiteral("暂时连不上服务器，稍后自动重试");
        break;
    case TunnelEvent::ConnectFailed:
        if (info == QLatin1String("ConnectServerFail"))
            return QStringLiteral("无法连接服务器");
        break;
    case TunnelEvent::Failed:
        if (info == QStringLiteral("数据解析异常"))
            return QStringLiteral("服务器返回的数据无法识别，隧道已停止");
        break;
    case TunnelEvent::SignedInElsewhere:
        return QStringLiteral("该隧道已在其他设备登录，本机已停止");
    default:
        break;
    }
    return info;
}

void TunnelController::releaseSession()
{
    if (!tunnel)
        return;
    tunnel->disconnect(this);
    // Never deleted on the spot: this may run inside one of the session's own signals, and the
    // session releases its relays without waiting for them.
    tunnel->deleteLater();
    tunnel = nullptr;
}

void TunnelController::tunnelInfo(int type, const QString &info)
{
    switch (type) {
    case TunnelEvent::HeartbeatReceived:
        ++received;
        break;
    case TunnelEvent::HeartbeatSent:
        ++sent;
        break;
    case TunnelEvent::RecordUpdated:
        recordChanged();
        break;
    case TunnelEvent::Failed:
        if (tunnel)
            tunnel->TunnelStop(); // reports Stopped, taken in before the rest of this event
        releaseSession();
        break;
    case TunnelEvent::Stopped:
        releaseSession();
        break;
    case TunnelEvent::Reconnecting:
        qDebug() << "reConn," << tunnelRecord.domain;
        break;
    case TunnelEvent::SignedInElsewhere:
        if (tunnel)
            tunnel->TunnelStop();
        break;
    default:
        break;
    }

    updateState(type, info);

    if (type != TunnelEvent::HeartbeatReceived && type != TunnelEvent::HeartbeatSent &&
        type != TunnelEvent::RecordUpdated)
        appendLog(info);
    emit tunnelEvent(type, info);
}

void TunnelController::updateState(int type, const QString &info)
{
    using State = TunnelStatus::State;
    const State before = current.state;
    const QString reasonBefore = current.stateReason;
    const QString reason = userReason(type, info);
    switch (type) {
    case TunnelEvent::SignedIn:
        current.state = State::Running;
        current.stateReason.clear();
        applyLocalService();
        // From here on the local service is watched without waiting for a visitor.
        if (!healthTimer->isActive()) {
            healthTimer->start();
            probeLocal(false);
        }
        break;
    case TunnelEvent::Reconnecting:
        current.state = State::Reconnecting;
        current.stateReason = reason;
        resetLocalService();
        break;
    case TunnelEvent::ReconnectFailed:
        current.stateReason = reason;
        break;
    case TunnelEvent::ConnectFailed:
        if (retrying) {
            current.state = State::Reconnecting;
            current.stateReason = reason;
            break;
        }
        Q_FALLTHROUGH();
    case TunnelEvent::Failed:
    case TunnelEvent::Stopped:
    case TunnelEvent::SignedInElsewhere:
        // A stop inside a failure comes first; the failure then leaves its reason.
        current.state = State::Stopped;
        current.stateReason = type == TunnelEvent::Stopped ? QString() : reason;
        break;
    default:
        break;
    }
    if (current.state == State::Stopped) {
        sampler->stop();
        healthTimer->stop();
        retryTimer->stop();
        retrying = false;
        resetFigures();
    }
    if (current.state != before || current.stateReason != reasonBefore)
        emit statusChanged();
}

void TunnelController::resetFigures()
{
    current.activeConnections = 0;
    current.totalConnections = 0;
    current.failedConnections = 0;
    current.bytesIn = 0;
    current.bytesOut = 0;
    current.rateIn = 0;
    current.rateOut = 0;
    current.rttMs = -1;
    localFailuresSeen = 0;
    localConnectsSeen = 0;
    healthFailuresUnlogged = 0;
}

void TunnelController::sample()
{
    if (!tunnel)
        return;
    const RelayStats &stats = tunnel->relayStats();
    const double seconds = qMax<qint64>(sinceSample.restart(), 1) / 1000.0;
    const qint64 in = stats.bytesIn.load(std::memory_order_relaxed);
    const qint64 out = stats.bytesOut.load(std::memory_order_relaxed);
    current.rateIn = double(in - current.bytesIn) / seconds;
    current.rateOut = double(out - current.bytesOut) / seconds;
    current.bytesIn = in;
    current.bytesOut = out;
    current.activeConnections = stats.active.load();
    current.totalConnections = stats.total.load();
    current.failedConnections = stats.localFailures.load();
    current.rttMs = tunnel->lastRoundTripMs();

    // Failed local connects since the last sample, the visitors' and the health check's: one
    // line, however many they were.
    const qint64 failures = current.failedConnections - localFailuresSeen;
    const qint64 connects = stats.localConnects.load() - localConnectsSeen;
    const qint64 told = failures + std::exchange(healthFailuresUnlogged, 0);
    const QString relayFailure = failures > 0 ? relayFailureWords(stats.localFailure()) : QString();
    if (told > 0) {
        QString line = QStringLiteral("本地服务连接失败：") +
                       (failures > 0 ? relayFailure : current.localReason);
        if (told > 1)
            line += QStringLiteral("（共%1次）").arg(told);
        appendLog(line);
    }
    localFailuresSeen = current.failedConnections;
    localConnectsSeen += connects;
    // The latest visitor's connect is the freshest word on the local service.
    if (failures > 0 && !stats.localReachable)
        setLocalService(TunnelStatus::LocalService::Unreachable, relayFailure);
    else if (connects > 0 && stats.localReachable)
        setLocalService(TunnelStatus::LocalService::Reachable, QString());
    applyLocalService();
    if (told > 0)
        emit logChanged();
    emit statusChanged();
}

void TunnelController::appendLog(const QString &line)
{
    if (logText.size() > LogLimitChars)
        logText.clear();
    logText +=
        QStringLiteral("[") +
        QDateTime::currentDateTime().toString(QStringLiteral("yyyy.MM.dd hh:mm:ss.zzz ddd")) +
        QStringLiteral("] ") + line + QStringLiteral("\n");
}
