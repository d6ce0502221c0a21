#pragma once

// Test doubles of the tunnel engine's peers: a relay server on port 8888 of one loopback address
// and a local service. Both run on the test's event loop and record what they receive.

#include <QHostAddress>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMutex>
#include <QMutexLocker>
#include <QStringList>
#include <QTcpServer>
#include <QTcpSocket>

#include "wirecodec.h"

#include <functional>
#include <memory>
#include <vector>

#include "rawsockets.h"

// Qt 5 listens with a backlog of 50; a burst of hundreds of connects would then wait for SYN
// retransmits. Listen on our own socket with a deep backlog and hand it to the server.
inline bool listenDeep(QTcpServer &server, const QHostAddress &address, quint16 port)
{
    const SOCKET s = rawsock::listenOn(address.toString().toLatin1().constData(), port, 4096);
    if (s == platform::InvalidSocket)
        return false;
    if (!server.setSocketDescriptor(qintptr(s))) {
        rawsock::close(s);
        return false;
    }
    return true;
}

// One connection accepted by the fake relay. The first frame tells its kind: a control
// connection starts with LOGIN, a data connection with CONN, after which it carries raw bytes.
struct RelayConnection
{
    QTcpSocket *socket = nullptr;
    QByteArray pending;          // unframed input
    QList<QByteArray> rawFrames; // whole frames, header included
    QList<QJsonObject> messages; // their JSON parts
    bool data = false;           // a data connection past its CONN frame
    QByteArray relayed;          // raw bytes after the CONN frame
    bool closed = false;

    QString uid() const
    {
        return messages.isEmpty() ? QString() : messages.first().value("uid").toString();
    }
};

class FakeRelay : public QObject
{
public:
    static constexpr quint16 Port = 8888;

    // How the control connection answers.
    bool answerLogin = true;
    bool answerHeart = true;
    QJsonObject loginReply; // replaces the LOGINOK answer when not empty
    QString innerInfo;      // text of "info" in LOGINOK; filled by listen() when empty
    std::function<void(RelayConnection *, const QJsonObject &)> onControlFrame;

    std::vector<std::unique_ptr<RelayConnection>> connections;

    explicit FakeRelay(QObject *parent = nullptr) : QObject(parent)
    {
        connect(&server, &QTcpServer::newConnection, this, [this] { accept(); });
    }

    bool listen(const QString &address)
    {
        this->address = address;
        if (innerInfo.isEmpty())
            describeTunnel(address, "nas.example.test", 5000);
        return listenDeep(server, QHostAddress(address), Port);
    }
    // The tunnel LOGINOK describes: "nas" at 4 Mbps on serverIp, for domain and clientPort.
    void describeTunnel(const QString &serverIp, const QString &domain, int clientPort)
    {
        const QJsonObject inner{{"name", "nas"},
                                {"serverIp", serverIp},
                                {"domain", domain},
                                {"bdw", 4},
                                {"clientPort", clientPort}};
        innerInfo = QString::fromUtf8(QJsonDocument(inner).toJson(QJsonDocument::Compact));
    }
    void stopListening() { server.close(); }
    bool isListening() const { return server.isListening(); }

    QList<RelayConnection *> controls() const { return ofKind(false); }
    QList<RelayConnection *> datas() const { return ofKind(true); }

    static QByteArray frame(const QJsonObject &json, const QByteArray &data = QByteArray())
    {
        // Compact on purpose: the client must accept any JSON object text.
        return wire::frame(QJsonDocument(json).toJson(QJsonDocument::Compact), data);
    }
    static void send(RelayConnection *c, const QJsonObject &json) { c->socket->write(frame(json)); }
    static QJsonObject message(std::initializer_list<QPair<QString, QJsonValue>> members)
    {
        QJsonObject o;
        for (const auto &m : members)
            o.insert(m.first, m.second);
        return o;
    }

    void closeAll()
    {
        for (auto &c : connections)
            if (!c->closed)
                c->socket->close();
    }

private:
    QList<RelayConnection *> ofKind(bool data) const
    {
        QList<RelayConnection *> out;
        for (const auto &c : connections) {
            const bool isData =
                !c->messages.isEmpty() && c->messages.first().value("type").toString() == "CONN";
            const bool isControl =
                !c->messages.isEmpty() && c->messages.first().value("type").toString() == "LOGIN";
            if ((data && isData) || (!data && isControl))
                out << c.get();
        }
        return out;
    }

    void accept()
    {
        while (QTcpSocket *s = server.nextPendingConnection()) {
            auto c = std::make_unique<RelayConnection>();
            c->socket = s;
            RelayConnection *raw = c.get();
            connections.push_back(std::move(c));
            s->setParent(this);
            connect(s, &QTcpSocket::readyRead, this, [this, raw] { read(raw); });
            connect(s, &QTcpSocket::disconnected, this, [raw] { raw->closed = true; });
        }
    }

    void read(RelayConnection *c)
    {
        const QByteArray bytes = c->socket->readAll();
        if (c->data) {
            c->relayed += bytes;
            return;
        }
        c->pending += bytes;
        wire::Header header;
        while (!c->data && wire::cut(c->pending, &header, wire::AnyLength) == wire::Cut::Whole) {
            const QByteArray whole = c->pending.left(int(header.frameBytes()));
            c->pending.remove(0, whole.size());
            c->rawFrames << whole;
            const QJsonObject json =
                QJsonDocument::fromJson(whole.mid(wire::HeaderBytes, int(header.jsonLength)))
                    .object();
            c->messages << json;
            const QString type = json.value("type").toString();
            if (type == "CONN" && c->messages.size() == 1) {
                c->data = true;
                c->relayed += c->pending;
                c->pending.clear();
                return;
            }
            if (onControlFrame)
                onControlFrame(c, json);
            if (type == "LOGIN" && answerLogin) {
                if (!loginReply.isEmpty())
                    send(c, loginReply);
                else
                    send(c, message({{"type", "LOGIN"}, {"msg", "LOGINOK"}, {"info", innerInfo}}));
            } else if (type == "HEART" && answerHeart) {
                send(c, message({{"type", "HEART"}}));
            }
        }
    }

    QTcpServer server;
    QString address;
};

// A local service: accepts connections and records what each one receives.
struct ServiceConnection
{
    QTcpSocket *socket = nullptr;
    QByteArray received;
    bool closed = false;
};

class FakeService : public QObject
{
public:
    bool echo = false;
    std::vector<std::unique_ptr<ServiceConnection>> connections;

    explicit FakeService(QObject *parent = nullptr) : QObject(parent)
    {
        connect(&server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *s = server.nextPendingConnection()) {
                auto c = std::make_unique<ServiceConnection>();
                c->socket = s;
                s->setParent(this);
                ServiceConnection *raw = c.get();
                connections.push_back(std::move(c));
                connect(s, &QTcpSocket::readyRead, this, [this, raw] {
                    const QByteArray bytes = raw->socket->readAll();
                    if (echo)
                        raw->socket->write(bytes);
                    else
                        raw->received += bytes;
                });
                connect(s, &QTcpSocket::disconnected, this, [raw] { raw->closed = true; });
            }
        });
    }
    bool listen(const QHostAddress &address, quint16 port = 0)
    {
        return listenDeep(server, address, port);
    }
    quint16 port() const { return server.serverPort(); }
    void stopListening() { server.close(); }

private:
    QTcpServer server;
};

// Collects log lines from every thread.
class LogCapture
{
public:
    static LogCapture &instance()
    {
        static LogCapture capture;
        return capture;
    }
    static void handler(QtMsgType, const QMessageLogContext &, const QString &message)
    {
        QMutexLocker locker(&instance().mutex);
        instance().lines << message;
    }
    void install() { qInstallMessageHandler(&LogCapture::handler); }
    QStringList take()
    {
        QMutexLocker locker(&mutex);
        QStringList out = lines;
        lines.clear();
        return out;
    }
    QStringList peek()
    {
        QMutexLocker locker(&mutex);
        return lines;
    }

private:
    QMutex mutex;
    QStringList lines;
};
