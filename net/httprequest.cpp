#include "httprequest.h"

#include "app/globals.h"

#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QRegularExpression>
#include <QUrl>

#include <memory>

namespace {

int transferTimeoutMs = HttpRequest::DefaultTransferTimeoutMs;

// Items whose values never appear in a text handed to a caller: such texts end up in logs,
// status labels and message boxes.
const QStringList &secretItems()
{
    static const QStringList names{QStringLiteral("pwd"), QStringLiteral("token"),
                                   QStringLiteral("tunnelToken")};
    return names;
}

// The query with every secret value replaced by "***", for texts shown to people.
QUrlQuery maskedQuery(const QUrlQuery &query)
{
    QUrlQuery masked;
    const auto items = query.queryItems(QUrl::FullyEncoded);
    QList<QPair<QString, QString>> out;
    for (const auto &item : items) {
        const bool secret = secretItems().contains(QUrl::fromPercentEncoding(item.first.toUtf8()));
        out.append({item.first, secret ? QStringLiteral("***") : item.second});
    }
    masked.setQueryItems(out);
    return masked;
}

// Everything one request in flight needs once the HttpRequest object may be gone.
struct InFlight
{
    QString sentUrl;       // the URL as sent, for the JSON failure text
    QString maskedSentUrl; // the same with secrets masked
    QStringList urlForms;  // renderings of the URL that the library may quote in its texts
    bool answered = false; // exactly one callback per request
};

std::shared_ptr<InFlight> makeInFlight(const QString &sentUrl, const QString &maskedUrl,
                                       const QUrl &url)
{
    auto flight = std::make_shared<InFlight>();
    flight->sentUrl = sentUrl;
    flight->maskedSentUrl = maskedUrl;
    flight->urlForms << sentUrl << url.toString() << url.toString(QUrl::FullyEncoded)
                     << url.toDisplayString();
    return flight;
}

QString maskSecrets(const InFlight &flight, QString text)
{
    for (const QString &form : flight.urlForms) {
        if (!form.isEmpty())
            text.replace(form, flight.maskedSentUrl);
    }
    // Any other rendering of a secret item (a library text quoting the URL differently).
    static const QRegularExpression pattern(
        QStringLiteral("(^|[?&\\s])(pwd|token|tunnelToken)=[^&#\\s]*"));
    text.replace(pattern, QStringLiteral("\\1\\2=***"));
    return text;
}

} // namespace

namespace {

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

void HttpRequest::setTransferTimeoutMs(int ms)
{
    transferTimeoutMs = ms;
}

int HttpRequest::transferTimeout()
{
    return transferTimeoutMs;
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

void HttpRequest::send(bool isPost, SuccessHandler onSuccess, FailureHandler onFailure)
{
    const QString encoded = encodedQuery();
    QString sentUrl = d.url;
    QString maskedUrl = d.url;
    if (!isPost && !d.query.isEmpty()) {
        sentUrl += QLatin1Char('?') + encoded;
        maskedUrl += QLatin1Char('?') + maskedQuery(d.query).query(QUrl::FullyEncoded);
    }

    const QUrl url(sentUrl, QUrl::TolerantMode);
    QNetworkRequest request(url);
    for (auto it = d.headers.cbegin(); it != d.headers.cend(); ++it)
        request.setRawHeader(it.key().toUtf8(), it.value().toUtf8());
    // Never follow redirects: the redirect's own body is the answer.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::ManualRedirectPolicy);
    request.setTransferTimeout(transferTimeoutMs);

    auto flight = makeInFlight(sentUrl, maskedUrl, url);

    auto *manager = new QNetworkAccessManager;
    QNetworkReply *reply =
        isPost ? manager->post(request, encoded.toUtf8()) : manager->get(request);

    QObject::connect(reply, &QNetworkReply::errorOccurred, reply,
                     [flight, reply, onFailure](QNetworkReply::NetworkError) {
                         if (flight->answered)
                             return;
                         flight->answered = true;
                         if (onFailure)
                             onFailure(maskSecrets(*flight, reply->errorString()));
                     });
    QObject::connect(
        reply, &QNetworkReply::finished, reply, [flight, reply, manager, onSuccess, onFailure]() {
            reply->deleteLater();
            manager->deleteLater();
            if (flight->answered)
                return;
            flight->answered = true;
            if (reply->error() != QNetworkReply::NoError) {
                if (onFailure)
                    onFailure(maskSecrets(*flight, reply->errorString()));
                return;
            }
            if (!onSuccess)
                return;
            const QJsonDocument document = QJsonDocument::fromJson(reply->readAll());
            if (document.isNull()) {
                if (onFailure)
                    onFailure(QStringLiteral("JSON解析失败：") + flight->maskedSentUrl);
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
    QString sentUrl = d.url;
    QString maskedUrl = d.url;
    if (!d.query.isEmpty()) {
        sentUrl += QLatin1Char('?') + encodedQuery();
        maskedUrl += QLatin1Char('?') + maskedQuery(d.query).query(QUrl::FullyEncoded);
    }
    const QUrl url(sentUrl, QUrl::TolerantMode);
    QNetworkRequest request(url);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::ManualRedirectPolicy);
    // Resets with every byte received, so only a stalled download times out.
    request.setTransferTimeout(transferTimeoutMs);

    auto flight = makeInFlight(sentUrl, maskedUrl, url);

    auto *manager = new QNetworkAccessManager;
    QNetworkReply *reply = manager->get(request);

    // An error page is not the resource: its bytes are not handed on.
    auto deliver = [reply, onChunk]() {
        const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
        if (reply->error() != QNetworkReply::NoError ||
            (status.isValid() && status.toInt() >= 400)) {
            reply->readAll();
            return;
        }
        const QByteArray chunk = reply->readAll();
        if (!chunk.isEmpty() && onChunk)
            onChunk(chunk);
    };
    QObject::connect(reply, &QNetworkReply::readyRead, reply, deliver);
    QObject::connect(reply, &QNetworkReply::errorOccurred, reply,
                     [flight, reply, onFailure](QNetworkReply::NetworkError) {
                         if (flight->answered)
                             return;
                         flight->answered = true;
                         if (onFailure)
                             onFailure(maskSecrets(*flight, reply->errorString()));
                     });
    QObject::connect(reply, &QNetworkReply::finished, reply,
                     [flight, reply, manager, deliver, onFinished, onFailure]() {
                         reply->deleteLater();
                         manager->deleteLater();
                         if (flight->answered)
                             return;
                         flight->answered = true;
                         if (reply->error() != QNetworkReply::NoError) {
                             if (onFailure)
                                 onFailure(maskSecrets(*flight, reply->errorString()));
                             return;
                         }
                         deliver();
                         if (onFinished)
                             onFinished();
                     });
}
