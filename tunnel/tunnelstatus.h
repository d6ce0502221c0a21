#pragma once

#include <QString>
#include <QtGlobal>

// What a running or stopped tunnel is doing, as its card last sampled it (about once a second).
// A plain value: the tray, the status window and the local status API read copies of it.
struct TunnelStatus
{
    enum class State { Stopped, Starting, Running, Reconnecting, LocalUnreachable };
    // What the latest look at the local service found: a test, a health check or a visitor.
    enum class LocalService { Unknown, Reachable, Unreachable };

    QString name;
    QString domain;
    QString publicAddress; // as the card shows it: the domain, or domain:port
    QString localAddress;  // clientIp:clientPort
    State state = State::Stopped;
    QString stateReason; // why it reconnects or what the local service answered; may be empty
    LocalService localService = LocalService::Unknown;
    QString localReason; // "address (what went wrong)" while the local service is unreachable

    int activeConnections = 0;
    qint64 totalConnections = 0;  // visitors since the tunnel started
    qint64 failedConnections = 0; // local connects that failed since the tunnel started
    qint64 bytesIn = 0;           // visitors to the local service
    qint64 bytesOut = 0;          // the local service to visitors
    double rateIn = 0;            // bytes per second over the last sample
    double rateOut = 0;
    int rttMs = -1; // the latest heartbeat's round trip; -1 when unknown

    bool isRunning() const { return state != State::Stopped; }
    // "running", "reconnecting" (a start in progress counts), "stopped", "local-unreachable".
    static QString stateName(State state);
};

inline QString TunnelStatus::stateName(State state)
{
    switch (state) {
    case State::Running:
        return QStringLiteral("running");
    case State::Starting:
    case State::Reconnecting:
        return QStringLiteral("reconnecting");
    case State::LocalUnreachable:
        return QStringLiteral("local-unreachable");
    case State::Stopped:
        break;
    }
    return QStringLiteral("stopped");
}
