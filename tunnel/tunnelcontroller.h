#pragma once

#include "tunnel/tunnelrecord.h"
#include "tunnel/tunnelstatus.h"

#include <QElapsedTimer>
#include <QObject>

class QTimer;
class Tunnel;

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
    // The session of the latest start; a failed one stays until the next start replaces it.
    Tunnel *session() const { return tunnel; }

    // A start the user asks for begins a new log and new heartbeat counts.
    void clearLog();
    // A new session, started at once: blocks for up to the session's connect wait.
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

    // The log is emptied before the next line once it has grown past this.
    static constexpr int LogLimitChars = 2000;
    // The live figures are read from the relay this often while a session runs; failed local
    // connects reach the log at most once per sample, folded into one line.
    static constexpr int SampleIntervalMs = 1000;
    static constexpr int FirstRetryDelayMs = 1000;
    static constexpr int MaxRetryDelayMs = 60 * 1000;
    static constexpr int RetryJitterPercent = 10;
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
    bool localProbeFailed = false; // the latest local test found nothing listening
};
