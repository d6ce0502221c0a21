#pragma once

// A fake of the service's HTTP API for the window tests: listens on one loopback address,
// records every request and answers with canned replies chosen by method and path. Requests
// to a path marked as held wait, connection open, until the test releases them.

#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QJsonDocument>
#include <QList>
#include <QMap>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QUrl>
#include <QUrlQuery>
#include <QVariantMap>

#include <memory>

struct ApiRequest
{
    QByteArray method;
    QByteArray target; // the request line's target as received, "/user?userId=&token=..."
    QString path;      // without the leading "/" and the query: "user", "order/createQrCode"
    QByteArray body;
    QMap<QByteArray, QByteArray> headers; // names in lower case

    // The items of the query (GET) or of the form body (POST), in order, decoded.
    QList<QPair<QString, QString>> items() const
    {
        const QByteArray encoded =
            method == "POST"
                ? body
                : (target.contains('?') ? target.mid(target.indexOf('?') + 1) : QByteArray());
        QList<QPair<QString, QString>> result;
        for (const QByteArray &pair : encoded.split('&')) {
            if (pair.isEmpty())
                continue;
            const int eq = pair.indexOf('=');
            const QByteArray name = eq < 0 ? pair : pair.left(eq);
            const QByteArray value = eq < 0 ? QByteArray() : pair.mid(eq + 1);
            result.append({QUrl::fromPercentEncoding(name), QUrl::fromPercentEncoding(value)});
        }
        return result;
    }
    QStringList itemNames() const
    {
        QStringList names;
        for (const auto &item : items())
            names << item.first;
        return names;
    }
    QString item(const QString &name) const
    {
        for (const auto &item : items()) {
            if (item.first == name)
                return item.second;
        }
        return QString();
    }
};

class FakeSigninApi
{
public:
    struct Reply
    {
        int status = 200;
        QByteArray contentType = "application/json";
        QByteArray body;
    };

    static Reply json(const QVariantMap &answer)
    {
        return {200, "application/json", QJsonDocument::fromVariant(answer).toJson()};
    }
    static Reply envelope(bool flag, const QString &msg, const QVariant &data)
    {
        return json({{"flag", flag}, {"msg", msg}, {"data", data}});
    }
    static Reply status(int code) { return {code, "text/plain", "error page"}; }

    FakeSigninApi()
    {
        QObject::connect(&server, &QTcpServer::newConnection, &server, [this] {
            while (QTcpSocket *socket = server.nextPendingConnection()) {
                QObject::connect(socket, &QTcpSocket::readyRead, socket,
                                 [this, socket] { readFrom(socket); });
                QObject::connect(socket, &QTcpSocket::disconnected, socket, [this, socket] {
                    buffers.remove(socket);
                    socket->deleteLater();
                });
            }
        });
    }

    bool listen(const QHostAddress &address) { return server.listen(address); }
    QString baseUrl() const
    {
        return QStringLiteral("http://%1:%2/")
            .arg(server.serverAddress().toString())
            .arg(server.serverPort());
    }

    void reset()
    {
        replies.clear();
        heldKeys.clear();
        requests.clear();
        release(status(503));
    }

    void setReply(const QByteArray &method, const QString &path, const Reply &reply)
    {
        replies[key(method, path)] = reply;
    }
    // Requests to method and path wait unanswered until release().
    void hold(const QByteArray &method, const QString &path) { heldKeys << key(method, path); }
    int heldCount() const { return held.size(); }
    // Answers every waiting request with reply and stops holding.
    void release(const Reply &reply)
    {
        heldKeys.clear();
        const auto waiting = held;
        held.clear();
        for (const QPointer<QTcpSocket> &socket : waiting) {
            if (socket)
                answer(socket, reply);
        }
    }

    QList<ApiRequest> to(const QByteArray &method, const QString &path) const
    {
        QList<ApiRequest> result;
        for (const ApiRequest &request : requests) {
            if (request.method == method && request.path == path)
                result << request;
        }
        return result;
    }
    int count(const QByteArray &method, const QString &path) const
    {
        return to(method, path).size();
    }

    QList<ApiRequest> requests;

private:
    static QString key(const QByteArray &method, const QString &path)
    {
        return QString::fromLatin1(method) + QLatin1Char(' ') + path;
    }

    void readFrom(QTcpSocket *socket)
    {
        QByteArray &buffer = buffers[socket];
        buffer += socket->readAll();
        const int headerEnd = buffer.indexOf("\r\n\r\n");
        if (headerEnd < 0)
            return;
        const QList<QByteArray> lines = buffer.left(headerEnd).split('\n');
        ApiRequest request;
        const QList<QByteArray> requestLine = lines.value(0).trimmed().split(' ');
        request.method = requestLine.value(0);
        request.target = requestLine.value(1);
        for (int i = 1; i < lines.size(); ++i) {
            const int colon = lines[i].indexOf(':');
            if (colon > 0)
                request.headers.insert(lines[i].left(colon).trimmed().toLower(),
                                       lines[i].mid(colon + 1).trimmed());
        }
        const int length = request.headers.value("content-length", "0").toInt();
        if (buffer.size() < headerEnd + 4 + length)
            return;
        request.body = buffer.mid(headerEnd + 4, length);
        buffers.remove(socket);
        QByteArray path = request.target;
        if (path.contains('?'))
            path = path.left(path.indexOf('?'));
        request.path = QUrl::fromPercentEncoding(path.mid(1));
        requests << request;

        const QString k = key(request.method, request.path);
        if (heldKeys.contains(k)) {
            held << QPointer<QTcpSocket>(socket);
            return;
        }
        answer(socket, replies.value(k, status(404)));
    }

    void answer(QTcpSocket *socket, const Reply &reply)
    {
        QByteArray out = "HTTP/1.1 " + QByteArray::number(reply.status) + " X\r\n";
        out += "Content-Type: " + reply.contentType + "\r\n";
        out += "Content-Length: " + QByteArray::number(reply.body.size()) + "\r\n";
        out += "Connection: close\r\n\r\n";
        out += reply.body;
        socket->write(out);
        socket->disconnectFromHost();
    }

    QTcpServer server;
    QHash<QString, Reply> replies;
    QStringList heldKeys;
    QList<QPointer<QTcpSocket>> held;
    QHash<QTcpSocket *, QByteArray> buffers;
};
