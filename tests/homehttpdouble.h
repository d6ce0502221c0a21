#pragma once

// A small HTTP/1.1 server for the home window and updater tests: canned answers by path,
// every request recorded, one request per connection.

#include "fakehttpbase.h"

#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QJsonDocument>
#include <QList>
#include <QPointer>
#include <QStringList>
#include <QTcpSocket>
#include <QUrl>
#include <QVariantMap>

class HomeHttpDouble : public FakeHttpBase
{
public:
    struct Answer
    {
        int status = 200;
        QByteArray body;
        Headers headers;
        bool announceLength = true; // false: no Content-Length, the end is the close
        bool hold = false;          // answered only by release()
    };

    explicit HomeHttpDouble(QObject *parent = nullptr) : FakeHttpBase(parent) {}

    bool start(const char *address)
    {
        return listen(QHostAddress(QString::fromLatin1(address)), 0);
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
    void handle(QTcpSocket *socket, const ReceivedRequest &request) override
    {
        const QString target = QString::fromLatin1(request.target);
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
    }

private:
    static void reply(QTcpSocket *socket, const Answer &a)
    {
        const QByteArray reason = a.status < 300 ? "OK" : a.status < 400 ? "Found" : "Error";
        FakeHttpBase::reply(socket, QByteArray::number(a.status) + ' ' + reason, a.body, a.headers,
                            a.announceLength);
    }

    QHash<QString, Answer> answers;
    QList<QPair<QPointer<QTcpSocket>, Answer>> pending;
};
