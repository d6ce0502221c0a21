#pragma once
// Test doubles for the tunnel card's tests: a relay server speaking the control-channel frames
// and a tiny HTTP service. Both listen on loopback only, on an address the test chooses.

#include "fakehttpbase.h"

#include <QHostAddress>
#include <QJsonDocument>
#include <QJsonObject>
#include <QList>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>

#include <functional>

// The relay's control port is fixed, so each test picks its own loopback address.
class FakeRelay : public QTcpServer
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
        connect(this, &QTcpServer::newConnection, this, &FakeRelay::accept, Qt::UniqueConnection);
        return listen(address, 8888);
    }

    QTcpSocket *control() const { return current.data(); }

    void send(const QJsonObject &object, const QByteArray &data = QByteArray("x"))
    {
        if (!current)
            return;
        const QByteArray json = QJsonDocument(object).toJson(QJsonDocument::Compact);
        current->write(be32(json.size()) + be32(data.size()) + json + data);
        current->flush();
    }

    void sendStop() { send({{"type", "MSG"}, {"msg", "STOP"}}); }

signals:
    void frameReceived(const QJsonObject &object);
    void controlClosed();

private:
    static QByteArray be32(int value)
    {
        QByteArray bytes(4, '\0');
        for (int i = 0; i < 4; ++i)
            bytes[i] = char((quint32(value) >> (24 - 8 * i)) & 0xff);
        return bytes;
    }
    static int readBe32(const QByteArray &bytes, int offset)
    {
        quint32 value = 0;
        for (int i = 0; i < 4; ++i)
            value = (value << 8) | quint8(bytes[offset + i]);
        return int(value);
    }

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
        while (buffer.size() >= 8) {
            const int jsonLength = readBe32(buffer, 0);
            const int dataLength = readBe32(buffer, 4);
            if (jsonLength < 0 || dataLength < 0 || jsonLength + dataLength > 65536) {
                socket->abort();
                return;
            }
            if (buffer.size() < 8 + jsonLength + dataLength)
                break;
            const QJsonObject object = QJsonDocument::fromJson(buffer.mid(8, jsonLength)).object();
            buffer.remove(0, 8 + jsonLength + dataLength);
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
