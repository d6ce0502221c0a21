#pragma once

#include "tunnel/requestlog.h"
#include "tunnel/tunnelrecord.h"
#include "tunnel/tunnelstatus.h"

#include <QElapsedTimer>
#include <QObject>

#include <memory>

class QTimer;
class Tunnel;
class TunnelLock;

// The life of one tunnel of the account: its record, the session of the latest start, the state
// and its reason, the live figures sampled from the relay about once a second, the heartbeat
// counts and the event log. The card, the tray and the status window follow its signals and the
// local status API reads copies of its status through the registry; none of them keeps state of
// its own. Lives on the GUI thread.
class TunnelController : public QObject
{
    Q_OBJECT

public:
    explicit TunnelController(const TunnelRecord &record = TunnelRecord(),
                              QObject *parent = nullptr);
    // Stops a running session without reporting it.
    ~TunnelController() override;

    // The session, the relay and the edit form work on this copy; whoever changes it from
    // outside calls recordChanged().
    TunnelRecord &record() { return tunnelRecord; }
    const TunnelRecord &record() const { return tunnelRecord; }
    void recordChanged();

    TunnelStatus status() const { return current; }
    const QString &log() const { return logText; }
    int receivedCount() const { return received; }
    int sentCount() const { return sent; }
    // The latest requests through this tunnel, across its starts; read from any thread.
    std::shared_ptr<RequestLog> requests() const { return requestLog; }
    // The session of the latest start; a failed one stays until the next start replaces it.
    Tunnel *session() const { return tunnel; }

    // A start the user asks for begins a new log and new heartbeat counts.
    void clearLog();
    // A new session, started at once: blocks for up to the session's connect wait. A tunnel
    // that another program of this machine runs is not started: it fails with a reason that
    // names that program.
    bool start();
    // The start at the program's start-up, when the network may not be up yet: while the relay
    // server cannot be reached the tunnel shows "reconnecting" and tries again after a pause
    // that doubles from FirstRetryDelayMs to MaxRetryDelayMs (each ± RetryJitterPercent), until
    // it connects or the user stops it.
    void autostart();
    // The user's stop: a line in the log, then the session's stop.
    void stop();
    // What the latest test of the local service found; a failed one marks a running tunnel.
    void setLocalProbeResult(bool ok);
    // Tests the local service now, off the GUI thread, and logs what it found; the answer comes
    // back through localTested. A running tunnel also checks it every healthCheckIntervalMs.
    void testLocalService();
    // Tests may look more often than a user's tunnel does.
    void setHealthCheckInterval(int ms);

    // The event texts of the session, as the card, the tray and the status API tell them.
    static QString userReason(int type, const QString &info);
    // A failed local connect in the user's words, after the address.
    static QString localFailureWords(const QString &systemError);

    // The log is emptied before the next line once it has grown past this.
    static constexpr int LogLimitChars = 2000;
    // The live figures are read from the relay this often while a session runs; failed local
    // connects reach the log at most once per sample, folded into one line.
    static constexpr int SampleIntervalMs = 1000;
    static constexpr int FirstRetryDelayMs = 1000;
    static constexpr int MaxRetryDelayMs = 60 * 1000;
    static constexpr int RetryJitterPercent = 10;
    // A running tunnel connects to its local service this often, so that a service that died
    // shows without a visitor, and one that came back clears.
    static constexpr int HealthCheckIntervalMs = 10 * 1000;
    static constexpr int LocalTestTimeoutMs = 3000;
    // The pause after one of delayMs, before its jitter.
    static int nextRetryDelayMs(int delayMs) { return qMin(delayMs * 2, MaxRetryDelayMs); }
    // delayMs moved by up to RetryJitterPercent either way, so that many tunnels spread out.
    static int jittered(int delayMs);

public slots:
    // One event of the session (or of a test standing in for it).
    void tunnelInfo(int type, const QString &info);

signals:
    // An event of the session, once the state and the log have taken it in.
    void tunnelEvent(int type, const QString &info);
    // A new sample, or a new state or reason.
    void statusChanged();
    // A line reached the log outside an event.
    void logChanged();
    // A test of the current local address ended (a health check's too).
    void localTested(bool ok);

private:
    friend class TstTunnelsItem;
    friend struct CardShots; // pictures of states that need a live session

    void releaseSession();
    void retryStart();
    void controlLost(const QString &reason);
    void updateState(int type, const QString &info);
    void sample();
    void resetFigures();
    void appendLog(const QString &line);
    bool holdTunnel();
    void probeLocal(bool logEach);
    void setLocalService(TunnelStatus::LocalService service, const QString &reason);
    void resetLocalService();
    void applyLocalService();

    TunnelRecord tunnelRecord;
    Tunnel *tunnel = nullptr;
    QString logText;
    int received = 0;
    int sent = 0;
    TunnelStatus current;
    QTimer *sampler;
    QTimer *retryTimer;
    bool retrying = false; // an autostart that has not reached the relay server yet
    int retryDelayMs = FirstRetryDelayMs;
    QElapsedTimer sinceSample;
    qint64 localFailuresSeen = 0;
    qint64 localConnectsSeen = 0;
    // Held from a start until the tunnel stops.
    std::unique_ptr<TunnelLock> lock;
    std::shared_ptr<RequestLog> requestLog = std::make_shared<RequestLog>();
    QTimer *healthTimer;
    int healthCheckIntervalMs = HealthCheckIntervalMs;
    bool healthCheckInFlight = false;
    int healthFailuresUnlogged =
        0; // health checks that found the service gone, for the next sample
};
