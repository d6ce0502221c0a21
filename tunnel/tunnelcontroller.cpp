#include "tunnelcontroller.h"

#include "proxytunnelwin.h"
#include "tunnel.h"
#include "tunnelevent.h"

#include <QDateTime>
#include <QDebug>
#include <QRandomGenerator>
#include <QTimer>

TunnelController::TunnelController(const TunnelRecord &record, QObject *parent)
    : QObject(parent), tunnelRecord(record), sampler(new QTimer(this)), retryTimer(new QTimer(this))
{
    sampler->setInterval(SampleIntervalMs);
    connect(sampler, &QTimer::timeout, this, &TunnelController::sample);
    retryTimer->setSingleShot(true);
    connect(retryTimer, &QTimer::timeout, this, &TunnelController::retryStart);
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
    const QString localAddress = r.clientIp + QStringLiteral(":") + QString::number(r.clientPort);
    const QString publicAddress =
        r.type == 0 ? r.domain : r.domain + QStringLiteral(":") + QString::number(r.serverPort);
    if (current.name == r.name && current.domain == r.domain &&
        current.publicAddress == publicAddress && current.localAddress == localAddress)
        return;
    current.name = r.name;
    current.domain = r.domain;
    current.publicAddress = publicAddress;
    current.localAddress = localAddress;
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
    session->TunnelInit(&tunnelRecord);
    const bool connected = session->TunnelStart();
    if (connected)
        retrying = false; // from here on the session reconnects by itself
    return connected;
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
    current.stateReason = QStringLiteral("与服务器的连接已断开：") + reason;
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
    localProbeFailed = !ok;
    if (tunnel)
        sample();
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
    switch (type) {
    case TunnelEvent::SignedIn:
        current.state = State::Running;
        current.stateReason.clear();
        break;
    case TunnelEvent::Reconnecting:
        current.state = State::Reconnecting;
        current.stateReason = info;
        break;
    case TunnelEvent::ReconnectFailed:
        current.stateReason = info;
        break;
    case TunnelEvent::ConnectFailed:
        if (retrying) {
            current.state = State::Reconnecting;
            current.stateReason = info;
            break;
        }
        Q_FALLTHROUGH();
    case TunnelEvent::Failed:
    case TunnelEvent::Stopped:
    case TunnelEvent::SignedInElsewhere:
        // A stop inside a failure comes first; the failure then leaves its reason.
        current.state = State::Stopped;
        current.stateReason = type == TunnelEvent::Stopped ? QString() : info;
        break;
    default:
        break;
    }
    if (current.state == State::Stopped) {
        sampler->stop();
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
}

void TunnelController::sample()
{
    using State = TunnelStatus::State;
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

    // Failed local connects since the last sample: one line, however many they were.
    const qint64 failures = current.failedConnections - localFailuresSeen;
    const qint64 connects = stats.localConnects.load();
    if (failures > 0) {
        QString line = QStringLiteral("本地服务连接失败：") + stats.localFailure();
        if (failures > 1)
            line += QStringLiteral("（共%1次）").arg(failures);
        appendLog(line);
    }
    if (connects > localConnectsSeen && stats.localReachable)
        localProbeFailed = false; // a visitor got through since the test
    localFailuresSeen = current.failedConnections;
    localConnectsSeen = connects;

    // A running tunnel whose visitors cannot reach the local service is not simply running.
    if (current.state == State::Running || current.state == State::LocalUnreachable) {
        const bool unreachable = !stats.localReachable || localProbeFailed;
        current.stateReason = !unreachable ? QString()
                              : !stats.localReachable
                                  ? stats.localFailure()
                                  : current.localAddress + QStringLiteral(" (本地测试不通)");
        current.state = unreachable ? State::LocalUnreachable : State::Running;
    }
    if (failures > 0)
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
