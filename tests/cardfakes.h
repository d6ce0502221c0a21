#pragma once
// Test doubles for the tunnel card's tests: a relay server speaking the control-channel frames
// and a tiny HTTP service. Both listen on loopback only, on an address the test chooses.

#include "fakehttpbase.h"
#include "wirecodec.h"

#include <QHostAddress>
#include <QJsonDocument>
#include <QJsonObject>
#include <QList>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>

#include <functional>

// The named child of a card or form; a test that misses one cannot go on.
template <typename T> T *child(QObject &parent, const char *name)
{
    T *widget = parent.findChild<T *>(QLatin1String(name));
    if (!widget)
        qFatal("missing %s", name);
    return widget;
}

// A relay server that speaks the control channel only (sign-in and heartbeats); the engine's
// own tests use the fuller FakeRelay of fakerelay.h. The relay's control port is fixed, so each
// test picks its own loopback address.
class FakeControlRelay : public QTcpServer
{
    Q_OBJECT

public:
    enum class Login { Accept, Refuse, Silent };

    Login login = Login::Accept;
    bool answerHeartbeats = true;
    QString refusal = QStringLiteral("令牌无效");
    QJsonObject loginInfo; // the inner object of LOGINOK
    QList<QJsonObject> received;
    int connectionsSeen = 0;

    bool start(const QHostAddress &address)
    {
        connect(this, &QTcpServer::newConnection, this, &FakeControlRelay::accept,
                Qt::UniqueConnection);
        return listen(address, 8888);
    }

    QTcpSocket *control() const { return current.data(); }

    void send(const QJsonObject &object, const QByteArray &data = QByteArray("x"))
    {
        if (!current)
            return;
        current->write(wire::frame(QJsonDocument(object).toJson(QJsonDocument::Compact), data));
        current->flush();
    }

    void sendStop() { send({{"type", "MSG"}, {"msg", "STOP"}}); }

signals:
    void frameReceived(const QJsonObject &object);
    void controlClosed();

private:
    void accept()
    {
        while (QTcpSocket *socket = nextPendingConnection()) {
            ++connectionsSeen;
            current = socket;
            connect(socket, &QTcpSocket::readyRead, this, [this, socket] { readFrom(socket); });
            connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
                socket->deleteLater();
                emit controlClosed();
            });
        }
    }

    void readFrom(QTcpSocket *socket)
    {
        QByteArray buffer = socket->property("buffer").toByteArray() + socket->readAll();
        // Bounded: a frame larger than this means the client is broken; the test then fails.
        constexpr int MaxFrameBytes = 65536;
        for (;;) {
            wire::Header header;
            const wire::Cut cut = wire::cut(buffer, &header, MaxFrameBytes);
            if (cut == wire::Cut::Malformed ||
                header.jsonLength + header.dataLength > MaxFrameBytes) {
                socket->abort();
                return;
            }
            if (cut == wire::Cut::Incomplete)
                break;
            const QJsonObject object =
                QJsonDocument::fromJson(buffer.mid(wire::HeaderBytes, int(header.jsonLength)))
                    .object();
            buffer.remove(0, int(header.frameBytes()));
            received.append(object);
            answer(socket, object);
            emit frameReceived(object);
        }
        socket->setProperty("buffer", buffer);
    }

    void answer(QTcpSocket *socket, const QJsonObject &object)
    {
        current = socket;
        const QString type = object.value(QStringLiteral("type")).toString();
        if (type == QLatin1String("LOGIN")) {
            if (login == Login::Accept) {
                const QString inner =
                    QString::fromUtf8(QJsonDocument(loginInfo).toJson(QJsonDocument::Compact));
                send({{"type", "LOGIN"}, {"msg", "LOGINOK"}, {"info", inner}});
            } else if (login == Login::Refuse) {
                send({{"type", "LOGIN"}, {"msg", "LOGINFAIL"}, {"info", refusal}});
            }
        } else if (type == QLatin1String("HEART") && answerHeartbeats) {
            send({{"type", "HEART"}});
        }
    }

    QPointer<QTcpSocket> current;
};

// A tiny HTTP/1.1 service: records each request and answers it with the canned body, or holds
// the answer back until release() when hold is set.
class FakeHttp : public FakeHttpBase
{
    Q_OBJECT

public:
    QList<ReceivedRequest> received;
    QByteArray answer = R"({"flag": true, "msg": "ok", "data": null})";
    bool hold = false;

    bool start(const QHostAddress &address) { return listen(address, 0); }

    void release()
    {
        for (const QPointer<QTcpSocket> &socket : held) {
            if (socket)
                replyTo(socket);
        }
        held.clear();
    }

signals:
    void requestReceived();

protected:
    void handle(QTcpSocket *socket, const ReceivedRequest &request) override
    {
        received.append(request);
        if (hold)
            held.append(socket);
        else
            replyTo(socket);
        emit requestReceived();
    }

private:
    void replyTo(QTcpSocket *socket)
    {
        FakeHttpBase::reply(socket, "200 OK", answer, {{"Content-Type", "application/json"}});
    }

    QList<QPointer<QTcpSocket>> held;
};
