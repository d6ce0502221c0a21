#pragma once

// What every fake HTTP service of the tests shares: it listens on a loopback address the test
// chooses, reads one request per connection (headers and a Content-Length body) and closes the
// connection after its answer. Each fake decides how to answer and what to record.

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QMap>
#include <QPair>
#include <QStringList>
#include <QTcpServer>
#include <QTcpSocket>
#include <QUrl>

// One request as the fake received it.
struct ReceivedRequest
{
    QByteArray method;
    QByteArray target; // the request line's target as received, "/user?userId=&token=..."
    QString path;      // without the leading "/" and the query, decoded: "order/createQrCode"
    QMap<QByteArray, QByteArray> headers; // names in lower case
    QByteArray body;

    // The items of the form body (POST) or of the query (otherwise), in order, decoded.
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

class FakeHttpBase : public QTcpServer
{
public:
    using Headers = QList<QPair<QByteArray, QByteArray>>;

    explicit FakeHttpBase(QObject *parent = nullptr) : QTcpServer(parent)
    {
        connect(this, &QTcpServer::newConnection, this, &FakeHttpBase::accept);
    }

    QString baseUrl() const
    {
        return QStringLiteral("http://%1:%2/").arg(serverAddress().toString()).arg(serverPort());
    }

    // status is the rest of the status line, "200 OK". Without announceLength the end of the
    // body is the close, as some servers send it.
    static void reply(QTcpSocket *socket, const QByteArray &status, const QByteArray &body,
                      const Headers &headers = {}, bool announceLength = true)
    {
        QByteArray out = "HTTP/1.1 " + status + "\r\n";
        for (const auto &header : headers)
            out += header.first + ": " + header.second + "\r\n";
        if (announceLength)
            out += "Content-Length: " + QByteArray::number(body.size()) + "\r\n";
        out += "Connection: close\r\n\r\n" + body;
        socket->write(out);
        socket->disconnectFromHost();
    }

protected:
    // Called once per request; the socket stays open until the fake answers it.
    virtual void handle(QTcpSocket *socket, const ReceivedRequest &request) = 0;

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
        ReceivedRequest request;
        const QList<QByteArray> lines = buffer.left(headerEnd).split('\n');
        const QList<QByteArray> requestLine = lines.first().trimmed().split(' ');
        if (requestLine.size() < 2)
            return;
        request.method = requestLine.at(0);
        request.target = requestLine.at(1);
        for (int i = 1; i < lines.size(); ++i) {
            const int colon = lines.at(i).indexOf(':');
            if (colon > 0)
                request.headers.insert(lines.at(i).left(colon).trimmed().toLower(),
                                       lines.at(i).mid(colon + 1).trimmed());
        }
        const int length = request.headers.value("content-length", "0").toInt();
        if (buffer.size() < headerEnd + 4 + length)
            return;
        request.body = buffer.mid(headerEnd + 4, length);
        socket->setProperty("buffer", QByteArray());
        QByteArray path = request.target;
        if (path.contains('?'))
            path = path.left(path.indexOf('?'));
        request.path = QUrl::fromPercentEncoding(path.mid(1));
        handle(socket, request);
    }
};
