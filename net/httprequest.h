#pragma once

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QUrlQuery>
#include <QVariantMap>

#include <functional>

// Builds one request to the service API and sends it once. Every request carries the account
// items userId and token first. Exactly one of the two callbacks runs, later, on the GUI thread.
// The object may be destroyed as soon as get/post/fetch has returned.
class HttpRequest
{
public:
    using SuccessHandler = std::function<void(bool flag, const QVariantMap &data)>;
    using FailureHandler = std::function<void(const QString &message)>;
    using ChunkHandler = std::function<void(const QByteArray &chunk)>;
    using FinishedHandler = std::function<void()>;

    explicit HttpRequest(const QString &url);

    HttpRequest &addParam(const QString &name, const QString &value);
    HttpRequest &addHeader(const QString &name, const QString &value);

    void get(SuccessHandler onSuccess, FailureHandler onFailure);
    void post(SuccessHandler onSuccess, FailureHandler onFailure);
    // Streaming GET: chunks as they arrive, then finished or failure.
    void fetch(ChunkHandler onChunk, FinishedHandler onFinished, FailureHandler onFailure);

    // A request whose transfer stalls this long (no byte moves) ends in the failure callback,
    // unless the environment sets another wait.
    static constexpr int DefaultTransferTimeoutMs = 30000;

private:
    void send(bool isPost, SuccessHandler onSuccess, FailureHandler onFailure);
    QString encodedQuery() const;

    struct Data
    {
        QString url;
        QUrlQuery query;
        QMap<QString, QString> headers;
    };
    Data d;
};
