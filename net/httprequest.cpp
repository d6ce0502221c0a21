#include "httprequest.h"

#include "core/globals.h"
#include "net/api.h"
#include "platform/environment.h"

#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QRegularExpression>
#include <QUrl>

#include <memory>

namespace {

// Any rendering of a secret item in a text: "name=value" after a start, "?", "&" or a space.
const QRegularExpression &secretPattern()
{
    static const QRegularExpression pattern = [] {
        QStringList names;
        for (const QString &name : api::secretItems())
            names << QRegularExpression::escape(name);
        return QRegularExpression(QStringLiteral("(^|[?&\\s])(") + names.join(QLatin1Char('|')) +
                                  QStringLiteral(")=[^&#\\s]*"));
    }();
    return pattern;
}

// QUrlQuery reads "%41" in a value as an escape for "A", which would corrupt a password such as
// "ab%41": a literal "%" is escaped first. A null string would be sent as a bare name; an empty
// value is still sent as "name=".
QString literal(const QString &text)
{
    if (text.isNull())
        return QStringLiteral("");
    QString escaped = text;
    return escaped.replace(QLatin1Char('%'), QLatin1String("%25"));
}

// The encoded query with every secret value replaced by "***".
QString maskedQuery(const QUrlQuery &query)
{
    QList<QPair<QString, QString>> items = query.queryItems(QUrl::FullyEncoded);
    for (auto &item : items) {
        if (api::secretItems().contains(QUrl::fromPercentEncoding(item.first.toUtf8())))
            item.second = QStringLiteral("***");
    }
    QUrlQuery masked;
    masked.setQueryItems(items);
    return masked.query(QUrl::FullyEncoded);
}

// Everything one request in flight needs once the HttpRequest object may be gone.
struct InFlight
{
    QNetworkAccessManager *manager = nullptr;
    QNetworkReply *reply = nullptr;
    QString maskedUrl;     // the URL as sent, secrets masked: for texts handed to the caller
    QStringList urlForms;  // renderings of the URL that the library may quote in its texts
    bool answered = false; // exactly one callback per request

    QString masked(QString text) const
    {
        for (const QString &form : urlForms) {
            if (!form.isEmpty())
                text.replace(form, maskedUrl);
        }
        // Any other rendering of a secret item.
        return text.replace(secretPattern(), QStringLiteral("\\1\\2=***"));
    }

    // The error reaction: the failure callback with the library's text, once.
    void fail(const HttpRequest::FailureHandler &onFailure)
    {
        if (answered)
            return;
        answered = true;
        if (onFailure)
            onFailure(masked(reply->errorString()));
    }

    // The reaction to the reply's end, which frees it and its manager: true when the success
    // path is still to run, false when an error ended the request or it was answered before.
    bool finish(const HttpRequest::FailureHandler &onFailure)
    {
        reply->deleteLater();
        manager->deleteLater();
        if (reply->error() != QNetworkReply::NoError) {
            fail(onFailure);
            return false;
        }
        if (answered)
            return false;
        answered = true;
        return true;
    }
};

// Builds the request (for GET with "?" and the query appended, even after a "?" of the URL's
// own), sends it on a manager of its own and returns what the reactions need.
std::shared_ptr<InFlight> start(const QString &baseUrl, const QUrlQuery &query,
                                const QMap<QString, QString> &headers, const QByteArray *postBody)
{
    auto flight = std::make_shared<InFlight>();
    QString sentUrl = baseUrl;
    flight->maskedUrl = baseUrl;
    if (!postBody && !query.isEmpty()) {
        sentUrl += QLatin1Char('?') + query.query(QUrl::FullyEncoded);
        flight->maskedUrl += QLatin1Char('?') + maskedQuery(query);
    }
    const QUrl url(sentUrl, QUrl::TolerantMode);
    flight->urlForms << sentUrl << url.toString() << url.toString(QUrl::FullyEncoded)
                     << url.toDisplayString();

    QNetworkRequest request(url);
    for (auto it = headers.cbegin(); it != headers.cend(); ++it)
        request.setRawHeader(it.key().toUtf8(), it.value().toUtf8());
    // Never follow redirects: the redirect's own body is the answer.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::ManualRedirectPolicy);
    // Restarts with every byte that moves, so only a stalled transfer times out.
    request.setTransferTimeout(
        Environment::current().transferTimeoutMs.value_or(HttpRequest::DefaultTransferTimeoutMs));

    flight->manager = new QNetworkAccessManager;
    flight->reply =
        postBody ? flight->manager->post(request, *postBody) : flight->manager->get(request);
    return flight;
}

// The callback, run only while context lives; an empty callback stays empty.
template <typename... Args>
std::function<void(Args...)> bound(const QObject *context, std::function<void(Args...)> callback)
{
    Q_ASSERT(context);
    if (!callback)
        return callback;
    const QPointer<QObject> guard(const_cast<QObject *>(context));
    return [guard, callback](Args... args) {
        if (guard)
            callback(args...);
    };
}

} // namespace

HttpRequest::HttpRequest(const QString &url)
{
    d.url = url;
    d.query.addQueryItem(QStringLiteral("userId"), literal(currentUserId));
    d.query.addQueryItem(QStringLiteral("token"), literal(currentToken));
}

HttpRequest &HttpRequest::addParam(const QString &name, const QString &value)
{
    d.query.addQueryItem(literal(name), literal(value));
    return *this;
}

HttpRequest &HttpRequest::addHeader(const QString &name, const QString &value)
{
    d.headers.insert(name, value);
    return *this;
}

QString HttpRequest::encodedQuery() const
{
    return d.query.query(QUrl::FullyEncoded);
}

void HttpRequest::get(SuccessHandler onSuccess, FailureHandler onFailure)
{
    send(false, std::move(onSuccess), std::move(onFailure));
}

void HttpRequest::post(SuccessHandler onSuccess, FailureHandler onFailure)
{
    send(true, std::move(onSuccess), std::move(onFailure));
}

void HttpRequest::get(const QObject *context, SuccessHandler onSuccess, FailureHandler onFailure)
{
    get(bound(context, std::move(onSuccess)), bound(context, std::move(onFailure)));
}

void HttpRequest::post(const QObject *context, SuccessHandler onSuccess, FailureHandler onFailure)
{
    post(bound(context, std::move(onSuccess)), bound(context, std::move(onFailure)));
}

void HttpRequest::fetch(const QObject *context, ChunkHandler onChunk, FinishedHandler onFinished,
                        FailureHandler onFailure)
{
    fetch(bound(context, std::move(onChunk)), bound(context, std::move(onFinished)),
          bound(context, std::move(onFailure)));
}

void HttpRequest::send(bool isPost, SuccessHandler onSuccess, FailureHandler onFailure)
{
    const QByteArray body = encodedQuery().toUtf8();
    const auto flight = start(d.url, d.query, d.headers, isPost ? &body : nullptr);
    QNetworkReply *reply = flight->reply;

    QObject::connect(reply, &QNetworkReply::errorOccurred, reply,
                     [flight, onFailure](QNetworkReply::NetworkError) { flight->fail(onFailure); });
    QObject::connect(reply, &QNetworkReply::finished, reply, [flight, onSuccess, onFailure]() {
        if (!flight->finish(onFailure) || !onSuccess)
            return;
        const QJsonDocument document = QJsonDocument::fromJson(flight->reply->readAll());
        if (document.isNull()) {
            if (onFailure)
                onFailure(QStringLiteral("JSON解析失败：") + flight->maskedUrl);
            return;
        }
        QVariantMap data = document.toVariant().toMap();
        // A missing flag reads as false and leaves an empty entry behind.
        const bool flag = data[QStringLiteral("flag")].toBool();
        onSuccess(flag, data);
    });
}

void HttpRequest::fetch(ChunkHandler onChunk, FinishedHandler onFinished, FailureHandler onFailure)
{
    // The streaming form sends no headers.
    const auto flight = start(d.url, d.query, {}, nullptr);
    QNetworkReply *reply = flight->reply;

    // An error page is not the resource: its bytes are not handed on.
    auto deliver = [reply, onChunk]() {
        const QByteArray chunk = reply->readAll();
        const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
        if (reply->error() != QNetworkReply::NoError || (status.isValid() && status.toInt() >= 400))
            return;
        if (!chunk.isEmpty() && onChunk)
            onChunk(chunk);
    };
    QObject::connect(reply, &QNetworkReply::readyRead, reply, deliver);
    QObject::connect(reply, &QNetworkReply::errorOccurred, reply,
                     [flight, onFailure](QNetworkReply::NetworkError) { flight->fail(onFailure); });
    QObject::connect(reply, &QNetworkReply::finished, reply,
                     [flight, deliver, onFinished, onFailure]() {
                         if (!flight->finish(onFailure))
                             return;
                         deliver();
                         if (onFinished)
                             onFinished();
                     });
}
