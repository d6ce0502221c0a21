#pragma once
// Test doubles for the tunnel card's tests: a relay server speaking the control-channel frames
// and a tiny HTTP service. Both listen on loopback only, on an address the test chooses.

#include <QHostAddress>
#include <QJsonDocument>
#include <QJsonObject>
#include <QList>
#include <QMap>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QUrlQuery>

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

// One request as the fake service received it.
struct HttpReceived
{
    QByteArray method;
    QByteArray path;
    QMap<QByteArray, QByteArray> headers; // names in lower case
    QByteArray body;

    // The form items in the order they were sent.
    QList<QPair<QString, QString>> items() const
    {
        return QUrlQuery(QString::fromUtf8(body)).queryItems(QUrl::FullyDecoded);
    }
};

// A tiny HTTP/1.1 service: records each request and answers it with the canned body, or holds
// the answer back until release() when hold is set.
class FakeHttp : public QTcpServer
{
    Q_OBJECT

public:
    QList<HttpReceived> received;
    QByteArray answer = R"({"flag": true, "msg": "ok", "data": null})";
    bool hold = false;

    bool start(const QHostAddress &address)
    {
        connect(this, &QTcpServer::newConnection, this, &FakeHttp::accept, Qt::UniqueConnection);
        return listen(address, 0);
    }

    QString baseUrl() const
    {
        return QStringLiteral("http://%1:%2/").arg(serverAddress().toString()).arg(serverPort());
    }

    void release()
    {
        for (const QPointer<QTcpSocket> &socket : held) {
            if (socket)
                reply(socket);
        }
        held.clear();
    }

signals:
    void requestReceived();

private:
    void accept()
    {
        while (QTcpSocket *socket = nextPendingConnection()) {
            connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            connect(socket, &QTcpSocket::readyRead, this, [this, socket] { readFrom(socket); });
        }
    }

    void readFrom(QTcpSocket *socket)
    {
        QByteArray buffer = socket->property("buffer").toByteArray() + socket->readAll();
        socket->setProperty("buffer", buffer);
        const int headerEnd = buffer.indexOf("\r\n\r\n");
        if (headerEnd < 0)
            return;
        HttpReceived request;
        const QList<QByteArray> lines = buffer.left(headerEnd).split('\n');
        const QList<QByteArray> first = lines.value(0).trimmed().split(' ');
        request.method = first.value(0);
        request.path = first.value(1);
        for (int i = 1; i < lines.size(); ++i) {
            const int colon = lines[i].indexOf(':');
            if (colon > 0)
                request.headers.insert(lines[i].left(colon).trimmed().toLower(),
                                       lines[i].mid(colon + 1).trimmed());
        }
        const int length = request.headers.value("content-length").toInt();
        if (buffer.size() < headerEnd + 4 + length)
            return;
        request.body = buffer.mid(headerEnd + 4, length);
        socket->setProperty("buffer", QByteArray());
        received.append(request);
        if (hold)
            held.append(socket);
        else
            reply(socket);
        emit requestReceived();
    }

    void reply(QTcpSocket *socket)
    {
        socket->write("HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: " +
                      QByteArray::number(answer.size()) + "\r\nConnection: close\r\n\r\n" + answer);
        socket->disconnectFromHost();
    }

    QList<QPointer<QTcpSocket>> held;
};
