#pragma once

#include "platform/platform.h"
#include "tunnel/tunnelevent.h"
#include "tunnel/tunnelrecord.h"

#include <QElapsedTimer>
#include <QJsonObject>
#include <QMutex>
#include <QObject>
#include <QThreadPool>

#include <memory>

class QTcpSocket;
class QTimer;
class TunnelPacket;
class RelayContext;
class RequestLog;
struct RelayStats;

// The control session of one started tunnel: signs in on the relay server, keeps the control
// connection alive with heartbeats, reconnects when the server falls silent, and hands every
// CONN request to the data relay. Everything it reports goes through tunnel_info. Its owner
// (the tunnel's controller) may stop it from inside any event but releases it only later, with
// deleteLater(), so no event ever returns into a destroyed session.
class Tunnel : public QObject
{
    Q_OBJECT

public:
    Tunnel();
    ~Tunnel() override;

    void TunnelInit(TunnelRecord *record);
    bool TunnelStart(); // blocks up to 3000 ms for the connect
    void TunnelStop();
    void ProxyConn(QString uid);
    // The counts of this session's data connections, written by the relay threads.
    const RelayStats &relayStats() const;
    // The data connections note their HTTP requests in log; call before TunnelStart.
    void setRequestLog(std::shared_ptr<RequestLog> log);
    // The round trip of the latest answered heartbeat, or -1 before the first answer.
    int lastRoundTripMs() const { return roundTripMs; }

signals:
    void tunnel_info(int type, QString info);
    // The control connection failed or was closed by the server. Only a report: the reconnect
    // still waits for the silence rule at the heartbeat ticks.
    void controlLost(QString reason);

public slots:
    void ClientRecvData();
    void PacketSlot(QByteArray q);
    void Ana(QByteArray q);
    SOCKET createSocket(QString ip, int port);
    void TimerTimeOut();
    void sendInfo(int type, QString info);

public:
    static constexpr int RelayPort = 8888;
    static constexpr int ConnectWaitMs = 3000;
    static constexpr int HeartbeatIntervalMs = 5000;
    // A tick reconnects once the last heartbeat sent is this much newer than the last input.
    static constexpr qint64 SilenceLimitSecs = 5;

private:
    void TunnelTimerInit();
    void reStart();
    QJsonObject loginObject() const;
    void sendLogin();
    void watchControlSocket();
    void dropControlSocket();
    // The timer stopped, the control socket and the frame reader gone.
    void dropConnection();

    // The send lock of the control connection; data connections have their own.
    QMutex mutex;
    // The relay's threads and counts, shared with data connections that may outlive this session.
    std::shared_ptr<RelayContext> relay;
    QTcpSocket *socket = nullptr;
    TunnelPacket *packet = nullptr;
    TunnelRecord *record = nullptr;
    QTimer *timer = nullptr;
    // Seconds on the steady clock, never the wall clock.
    qint64 lastRecvTime = 0;
    qint64 lastHeartTime = 0;
    QElapsedTimer heartSent; // since the latest heartbeat went out
    int roundTripMs = -1;
    bool stopped = false; // by TunnelStop, perhaps from inside one of its own events
};
