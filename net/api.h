#pragma once
// The service API catalogue: paths and item names of every call the client makes.
// A URL is apiBaseUrl + one of these paths; every request carries userId and token first
// (HttpRequest adds them), then the items listed beside the call. Answers are
// {"flag": bool, "msg": text, "data": payload}.

#include "core/globals.h"

#include <QObject>
#include <QString>
#include <QStringList>
#include <QVariant>

#include <functional>

namespace api {

// ---- Paths after apiBaseUrl ----
constexpr const char SignIn[] = "user";                    // GET  phone, pwd
constexpr const char Register[] = "user";                  // POST phone, pwd, code
constexpr const char VerificationCode[] = "user/getCode";  // POST phone, verify
constexpr const char TunnelList[] = "port/query/";         // GET, followed by the user id
constexpr const char UpdateInfo[] = "app_update/1";        // GET
constexpr const char Notice[] = "appConfig/bvnotice";      // GET, data: rich text
constexpr const char GroupLink[] = "appConfig/bvqqgroup";  // GET, data: a URL
constexpr const char ServiceLink[] = "appConfig/bvqqkefu"; // GET, data: a URL
constexpr const char ChangeTunnel[] = "port/change";       // POST tunnelId, tunnelToken,
                                                     //  clientIp, clientPort, tunnelName, type
constexpr const char PriceList[] = "price";                        // GET
constexpr const char PurchaseNotice[] = "appConfig/bvnotice_buy";  // GET, data: rich text
constexpr const char OrderTunnel[] = "port";                       // POST clientIp, tunnelName,
                                                                   //  clientPort, type, priceId
constexpr const char PaymentQrImage[] = "order/createQrCode?url="; // fetch, followed by the
                                                                   // payment URL; body is an image

// ---- Item names ----
constexpr const char UserId[] = "userId";
constexpr const char Token[] = "token";
constexpr const char Phone[] = "phone";
constexpr const char Pwd[] = "pwd";
constexpr const char Code[] = "code";
constexpr const char Verify[] = "verify";
constexpr const char TunnelId[] = "tunnelId";
constexpr const char TunnelToken[] = "tunnelToken";
constexpr const char ClientIp[] = "clientIp";
constexpr const char ClientPort[] = "clientPort";
constexpr const char TunnelName[] = "tunnelName";
constexpr const char Type[] = "type";
constexpr const char PriceId[] = "priceId";

// ---- Answer members ----
constexpr const char Flag[] = "flag";
constexpr const char Msg[] = "msg";
constexpr const char Data[] = "data";

// Every form POST sends this header.
constexpr const char ContentTypeHeader[] = "content-type";
constexpr const char FormContentType[] = "application/x-www-form-urlencoded";

// The absolute URL of a call: apiBaseUrl followed by the path (and any suffix, such as the
// user id of the tunnel list or the payment URL of the QR image).
inline QString url(const char *path, const QString &suffix = QString())
{
    return apiBaseUrl + QLatin1String(path) + suffix;
}

// The items whose values are secrets: token, tunnelToken, pwd and password. Their values never
// appear in the log nor in a text handed to a caller (such texts end up in logs, status labels
// and message boxes).
const QStringList &secretItems();

// A copy of an answer (or part of one) fit for the log: the values of the secret items are
// masked at every depth, so signing in or listing tunnels leaves no secret in the log file.
QVariant forLog(const QVariant &value);
QVariantMap forLog(const QVariantMap &answer);

// Every service answer goes to the log whole (secrets masked), then its "msg".
void logAnswer(const QVariantMap &answer);

// Fetches one of the texts the service keeps (a notice, the purchase terms) for a window:
// show() gets it when the service answers with one; the answer and any failure are logged.
void fetchText(const char *path, const QObject *context, std::function<void(const QString &)> show);

} // namespace api
