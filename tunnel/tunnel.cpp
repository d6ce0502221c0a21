#include "tunnel.h"

#include "core/globals.h"
#include "proxytunnelwin.h"
#include "tunnelpacket.h"

#include <QDebug>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QTcpSocket>
#include <QTimer>

#include <chrono>

namespace {

// Whole seconds on a clock that only runs forward. The wall clock may be set back (a time
// server's correction, a resume from sleep), and an outage measured on it would go unnoticed
// for as long as the clock was moved.
qint64 nowSecs()
{
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

const char StopText[] =
    "该隧道在其他设备登录，本机已被挤掉线，请您尝试现在重新启动或更换令牌后重新启动";

} // namespace

Tunnel::Tunnel() : relay(RelayContext::create()) {}

Tunnel::~Tunnel()
{
    dropConnection();
    // Running data connections keep their own reference to the relay context; dropping ours
    // never waits for them.
}

void Tunnel::TunnelInit(TunnelRecord *record)
{
    this->record = record;
    lastRecvTime = nowSecs();
    lastHeartTime = lastRecvTime;
    qDebug().noquote() << "TunnelInit" << (record ? record->domain : QString());
}

bool Tunnel::TunnelStart()
{
    // A session is started once; a stopped or failed one is replaced by a new session.
    if (!record || timer)
        return false;
    if (!record->isConfigured()) {
        sendInfo(TunnelEvent::Failed,
                 QStringLiteral("该隧道尚未配置，请先在WEB控制台配置后再启动"));
        return false;
    }
    const QString domain = record->domain;
    qDebug().noquote() << "TunnelStart" << domain;
    TunnelTimerInit();

    qDebug().noquote() << "CreatePacketAndQTcpSocket" << domain;
    packet = new TunnelPacket;
    connect(packet, &TunnelPacket::packetSignal, this, &Tunnel::PacketSlot, Qt::DirectConnection);
    socket = new QTcpSocket;
    socket->connectToHost(record->serverIp, RelayPort, QIODevice::ReadWrite,
                          QAbstractSocket::AnyIPProtocol);
    if (socket->waitForConnected(ConnectWaitMs)) {
        sendInfo(TunnelEvent::Progress, QStringLiteral("connect server success"));
        if (!socket) // stopped in the meantime
            return false;
        qDebug().noquote() << "ConnServerSuccess" << domain;
        connect(socket, &QTcpSocket::readyRead, this, &Tunnel::ClientRecvData);
        watchControlSocket();
        sendLogin();
        return true;
    }
    // No late connect behind the failure report: the session stays idle until it is dropped.
    socket->abort();
    qDebug().noquote() << "ConnServerFail[连接服务器失败]" << domain;
    sendInfo(TunnelEvent::ConnectFailed, QStringLiteral("ConnectServerFail"));
    sendInfo(TunnelEvent::ConnectFailed,
             QStringLiteral("服务器连接失败,检查您的本地网络是否稳定，防火墙等是否关闭"));
    return false;
}

void Tunnel::TunnelStop()
{
    if (!socket)
        return;
    stopped = true;
    dropConnection();
    qDebug().noquote() << "隧道已停止" << (record ? record->domain : QString());
    sendInfo(TunnelEvent::Stopped, QStringLiteral("TunnelStop"));
}

void Tunnel::ProxyConn(QString uid)
{
    if (!record)
        return;
    // The connects block for as long as the system's connect timeout: never on this thread.
    relay->submit(ConnRequest{uid, record->clientIp, record->clientPort, record->serverIp});
}

void Tunnel::setRequestLog(std::shared_ptr<RequestLog> log)
{
    // Atomically: a benchmark switches it between data connections.
    std::atomic_store(&relay->requests, std::move(log));
}

const RelayStats &Tunnel::relayStats() const
{
    return relay->stats;
}

void Tunnel::ClientRecvData()
{
    lastRecvTime = nowSecs();
    if (!socket || !packet)
        return;
    const bool ok = packet->UnPacket(socket);
    if (!ok && !stopped)
        sendInfo(TunnelEvent::Failed, QStringLiteral("数据解析异常"));
}

void Tunnel::PacketSlot(QByteArray q)
{
    Ana(q);
}

void Tunnel::Ana(QByteArray q)
{
    // A listener may stop this session in reaction to any event: check after each one.
    const QString domain = record ? record->domain : QString();

    QByteArray jsonPart;
    QJsonObject message;
    QJsonParseError error{};
    QJsonDocument document;
    if (TunnelPacket::splitFrame(q, &jsonPart, nullptr))
        document = QJsonDocument::fromJson(jsonPart, &error);
    if (document.isNull()) {
        sendInfo(TunnelEvent::Failed, QStringLiteral("数据解析异常"));
        if (stopped)
            return;
    } else {
        message = document.object();
    }

    const QString type = message.value(QLatin1String("type")).toString();
    const QString msg = message.value(QLatin1String("msg")).toString();
    if (type == QLatin1String("LOGIN")) {
        sendInfo(TunnelEvent::Progress, QStringLiteral("authenticating success,analysising..."));
        if (stopped)
            return;
        if (msg == QLatin1String("LOGINOK")) {
            qDebug().noquote() << "登录成功" << domain;
            sendInfo(TunnelEvent::SignedIn, QStringLiteral("login success!"));
            if (stopped)
                return;
            // "info" carries the inner object as text; anything but a string reads as empty.
            const QJsonObject inner =
                QJsonDocument::fromJson(message.value(QLatin1String("info")).toString().toUtf8())
                    .object();
            if (record) {
                record->name = inner.value(QLatin1String("name")).toString();
                record->serverIp = inner.value(QLatin1String("serverIp")).toString();
                record->domain = inner.value(QLatin1String("domain")).toString();
                record->bdw = inner.value(QLatin1String("bdw")).toInt();
                record->clientPort = inner.value(QLatin1String("clientPort")).toInt();
            }
            sendInfo(TunnelEvent::RecordUpdated, QStringLiteral("initView刷新隧道信息"));
            if (stopped)
                return;
            if (timer && !timer->isActive())
                timer->start(HeartbeatIntervalMs);
        } else {
            const QString info = message.value(QLatin1String("info")).toString();
            sendInfo(TunnelEvent::Failed, info);
            qDebug().noquote() << "登录失败：" << info << domain;
            if (stopped)
                return;
        }
    }
    if (type == QLatin1String("HEART")) {
        if (heartSent.isValid()) {
            roundTripMs = int(heartSent.elapsed());
            heartSent.invalidate();
        }
        sendInfo(TunnelEvent::HeartbeatReceived, QStringLiteral("收到心跳"));
        if (stopped)
            return;
        lastRecvTime = nowSecs();
    }
    if (type == QLatin1String("MSG") && msg == QLatin1String("STOP")) {
        qDebug().noquote() << QString::fromUtf8(StopText) << domain;
        sendInfo(TunnelEvent::SignedInElsewhere, QString::fromUtf8(StopText));
        if (stopped)
            return;
    }
    if (type == QLatin1String("CONN"))
        ProxyConn(message.value(QLatin1String("uid")).toString());
}

SOCKET Tunnel::createSocket(QString ip, int port)
{
    return relay::createSocket(ip, port);
}

void Tunnel::TimerTimeOut()
{
    const qint64 gap = lastHeartTime - lastRecvTime;
    if (gap < SilenceLimitSecs) {
        if (socket) {
            QJsonObject heart;
            heart.insert(QStringLiteral("type"), QStringLiteral("HEART"));
            TunnelPacket(heart, QByteArrayLiteral("heart"), socket, &mutex).SendPacket();
            heartSent.start();
        }
        sendInfo(TunnelEvent::HeartbeatSent, QStringLiteral("发送心跳"));
        lastHeartTime = nowSecs();
        return;
    }
    qDebug().noquote() << "断线重连中,心跳间隔超时：" << gap;
    sendInfo(TunnelEvent::Reconnecting,
             QStringLiteral("Automatic stabilization..., the heartbeat interval timeout：") +
                 QString::number(gap));
    if (timer && timer->isActive())
        reStart();
}

void Tunnel::sendInfo(int type, QString info)
{
    emit tunnel_info(type, info);
}

void Tunnel::TunnelTimerInit()
{
    qDebug().noquote() << "TunnelTimerInit" << record->domain;
    timer = new QTimer(this);
    timer->setSingleShot(false);
    connect(timer, &QTimer::timeout, this, &Tunnel::TimerTimeOut);
}

void Tunnel::reStart()
{
    const QString domain = record ? record->domain : QString();
    qDebug().noquote() << "reStart" << domain;
    dropControlSocket();
    socket = new QTcpSocket;
    connect(socket, &QTcpSocket::readyRead, this, &Tunnel::ClientRecvData);
    // No partial frame of the old connection may be joined to the new stream.
    if (packet)
        packet->resetBuffer();

    socket->connectToHost(record ? record->serverIp : QString(), RelayPort, QIODevice::ReadWrite,
                          QAbstractSocket::AnyIPProtocol);
    lastHeartTime = nowSecs();
    if (socket->waitForConnected(ConnectWaitMs)) {
        sendInfo(TunnelEvent::Progress, QStringLiteral("reConnectServerSuccess"));
        if (!socket)
            return;
        qDebug().noquote() << "reConnectServer[OK]" << domain;
        watchControlSocket();
        sendLogin();
        sendInfo(TunnelEvent::Progress, QStringLiteral("authenticating..."));
        qDebug().noquote() << "authenticating[认证中]";
        return;
    }
    socket->abort();
    sendInfo(TunnelEvent::ReconnectFailed, QStringLiteral("reConnectServerFail"));
    qDebug().noquote() << "reConnectServerFail[重连服务器失败]" << domain;
}

QJsonObject Tunnel::loginObject() const
{
    QJsonObject login;
    login.insert(QStringLiteral("token"), record ? record->token : QString());
    login.insert(QStringLiteral("type"), QStringLiteral("LOGIN"));
    login.insert(QStringLiteral("uuid"), clientUuid);
    login.insert(QStringLiteral("version"), clientVersion);
    return login;
}

void Tunnel::sendLogin()
{
    TunnelPacket(loginObject(), QByteArrayLiteral("login"), socket, &mutex).SendPacket();
}

void Tunnel::watchControlSocket()
{
    connect(socket, &QAbstractSocket::errorOccurred, this, [this] {
        if (socket)
            emit controlLost(socket->errorString());
    });
}

void Tunnel::dropConnection()
{
    if (timer)
        timer->stop();
    dropControlSocket();
    if (packet) {
        // May be running inside the reader's own delivery: it goes once that has returned.
        packet->disconnect(this);
        packet->deleteLater();
        packet = nullptr;
    }
}

void Tunnel::dropControlSocket()
{
    if (!socket)
        return;
    socket->disconnect(this);
    socket->close();
    // May be running inside the socket's own readyRead: it goes once that has returned.
    socket->deleteLater();
    socket = nullptr;
}
