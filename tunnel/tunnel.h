#pragma once

#include "platform/platform.h"
#include "tunnel/tunnelrecord.h"

#include <QMutex>
#include <QObject>
#include <QThreadPool>

class QTcpSocket;
class QTimer;
class TunnelPacket;

// The control session of one started tunnel: signs in on the relay server, keeps the control
// connection alive with heartbeats, reconnects when the server falls silent, and hands every
// CONN request to the data relay. Everything it reports goes through tunnel_info.
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

signals:
    void tunnel_info(int type, QString info);

public slots:
    void ClientRecvData();
    void PacketSlot(QByteArray q);
    void Ana(QByteArray q);
    SOCKET createSocket(QString ip, int port);
    void TimerTimeOut();
    void sendInfo(int type, QString info);

private:
    void TunnelTimerInit();
    void reStart();
    // (the engine fills in the rest)
};
