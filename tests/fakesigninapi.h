#pragma once

// A fake of the service's HTTP API for the window tests: listens on one loopback address,
// records every request and answers with canned replies chosen by method and path. Requests
// to a path marked as held wait, connection open, until the test releases them.

#include "fakehttpbase.h"

#include <QByteArray>
#include <QHash>
#include <QJsonDocument>
#include <QList>
#include <QPointer>
#include <QStringList>
#include <QTcpSocket>
#include <QVariantMap>

class FakeSigninApi : public FakeHttpBase
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

    QList<ReceivedRequest> to(const QByteArray &method, const QString &path) const
    {
        QList<ReceivedRequest> result;
        for (const ReceivedRequest &request : requests) {
            if (request.method == method && request.path == path)
                result << request;
        }
        return result;
    }
    int count(const QByteArray &method, const QString &path) const
    {
        return to(method, path).size();
    }

    QList<ReceivedRequest> requests;

protected:
    void handle(QTcpSocket *socket, const ReceivedRequest &request) override
    {
        requests << request;
        const QString k = key(request.method, request.path);
        if (heldKeys.contains(k)) {
            held << QPointer<QTcpSocket>(socket);
            return;
        }
        answer(socket, replies.value(k, status(404)));
    }

private:
    static QString key(const QByteArray &method, const QString &path)
    {
        return QString::fromLatin1(method) + QLatin1Char(' ') + path;
    }

    static void answer(QTcpSocket *socket, const Reply &reply)
    {
        FakeHttpBase::reply(socket, QByteArray::number(reply.status) + " X", reply.body,
                            {{"Content-Type", reply.contentType}});
    }

    QHash<QString, Reply> replies;
    QStringList heldKeys;
    QList<QPointer<QTcpSocket>> held;
};
