#pragma once

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QUrlQuery>
#include <QVariantMap>

#include <functional>

class QObject;

// Builds one request to the service API and sends it once. Every request carries the account
// items userId and token first. Exactly one of the two callbacks runs, later, on the GUI thread.
// The object may be destroyed as soon as get/post/fetch has returned.
//
// A window passes itself as the context, as QObject::connect takes one: the callbacks are bound
// to it, and once it is destroyed neither runs, so an answer never reaches a window that has
// gone. The forms without a context are for callers that outlive every answer.
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

    // The same, bound to context (never null).
    void get(const QObject *context, SuccessHandler onSuccess, FailureHandler onFailure);
    void post(const QObject *context, SuccessHandler onSuccess, FailureHandler onFailure);
    void fetch(const QObject *context, ChunkHandler onChunk, FinishedHandler onFinished,
               FailureHandler onFailure);
    // The answer and the failure handed to two member functions of the context.
    template <typename Context>
    void get(Context *context, void (Context::*onSuccess)(bool, const QVariantMap &),
             void (Context::*onFailure)(const QString &))
    {
        get(context, member(context, onSuccess), member(context, onFailure));
    }
    template <typename Context>
    void post(Context *context, void (Context::*onSuccess)(bool, const QVariantMap &),
              void (Context::*onFailure)(const QString &))
    {
        post(context, member(context, onSuccess), member(context, onFailure));
    }

    // A request whose transfer stalls this long (no byte moves) ends in the failure callback,
    // unless the environment sets another wait.
    static constexpr int DefaultTransferTimeoutMs = 30000;

private:
    // The binding to the context makes calling through the raw pointer safe.
    template <typename Context, typename... Args>
    static std::function<void(Args...)> member(Context *context, void (Context::*f)(Args...))
    {
        return [context, f](Args... args) { (context->*f)(args...); };
    }

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
