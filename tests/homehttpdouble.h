#pragma once

// A small HTTP/1.1 server for the home window and updater tests: canned answers by path,
// every request recorded, one request per connection.

#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QJsonDocument>
#include <QList>
#include <QPointer>
#include <QStringList>
#include <QTcpServer>
#include <QTcpSocket>
#include <QUrl>
#include <QVariantMap>

class HomeHttpDouble : public QTcpServer
{
public:
    struct Answer
    {
        int status = 200;
        QByteArray body;
        QList<QPair<QByteArray, QByteArray>> headers;
        bool announceLength = true; // false: no Content-Length, the end is the close
        bool hold = false;          // answered only by release()
    };

    explicit HomeHttpDouble(QObject *parent = nullptr) : QTcpServer(parent) {}

    bool start(const char *address)
    {
        return listen(QHostAddress(QString::fromLatin1(address)), 0);
    }
    QString base() const
    {
        return QStringLiteral("http://%1:%2/").arg(serverAddress().toString()).arg(serverPort());
    }

    void setAnswer(const QString &path, const Answer &answer) { answers.insert(path, answer); }
    void setJson(const QString &path, const QVariantMap &json)
    {
        Answer a;
        a.body = QJsonDocument::fromVariant(json).toJson(QJsonDocument::Compact);
        a.headers.append(qMakePair(QByteArray("Content-Type"), QByteArray("application/json")));
        setAnswer(path, a);
    }
    void setStatus(const QString &path, int status)
    {
        Answer a;
        a.status = status;
        a.body = "no";
        setAnswer(path, a);
    }
    void setRedirect(const QString &path, const QByteArray &location)
    {
        Answer a;
        a.status = 302;
        a.headers.append(qMakePair(QByteArray("Location"), location));
        setAnswer(path, a);
    }

    // Paths in order of arrival (without the query).
    QStringList paths;
    // Full request targets in order of arrival.
    QStringList targets;
    int count(const QString &path) const { return paths.count(path); }

    // Sends the answers of held requests.
    void release()
    {
        const auto held = pending;
        pending.clear();
        for (const auto &p : held) {
            if (p.first)
                reply(p.first, p.second);
        }
    }

protected:
    void incomingConnection(qintptr handle) override
    {
        auto *socket = new QTcpSocket(this);
        socket->setSocketDescriptor(handle);
        auto buffer = QSharedPointer<QByteArray>::create();
        connect(socket, &QTcpSocket::readyRead, socket, [this, socket, buffer]() {
            buffer->append(socket->readAll());
            const int end = buffer->indexOf("\r\n\r\n");
            if (end < 0)
                return;
            const QList<QByteArray> line = buffer->left(buffer->indexOf("\r\n")).split(' ');
            buffer->clear();
            const QString target =
                line.value(1).isEmpty() ? QStringLiteral("/") : QString::fromLatin1(line.value(1));
            const QString path = QUrl(target).path();
            targets.append(target);
            paths.append(path);
            Answer a;
            if (answers.contains(path)) {
                a = answers.value(path);
            } else {
                a.status = 404;
                a.body = "not here";
            }
            if (a.hold) {
                pending.append({QPointer<QTcpSocket>(socket), a});
                return;
            }
            reply(socket, a);
        });
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    }

private:
    void reply(QTcpSocket *socket, const Answer &a)
    {
        QByteArray out = "HTTP/1.1 " + QByteArray::number(a.status) + " " +
                         (a.status < 300   ? "OK"
                          : a.status < 400 ? "Found"
                                           : "Error") +
                         "\r\n";
        for (const auto &h : a.headers)
            out += h.first + ": " + h.second + "\r\n";
        if (a.announceLength)
            out += "Content-Length: " + QByteArray::number(a.body.size()) + "\r\n";
        out += "Connection: close\r\n\r\n";
        out += a.body;
        socket->write(out);
        socket->disconnectFromHost();
    }

    QHash<QString, Answer> answers;
    QList<QPair<QPointer<QTcpSocket>, Answer>> pending;
};
