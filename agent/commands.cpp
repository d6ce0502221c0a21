#include "commands.h"

#include "agent/account.h"
#include "agent/console.h"
#include "core/globals.h"
#include "core/settings.h"

#include <QEventLoop>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTimer>
#include <QVariantMap>

namespace commands {

namespace {

constexpr int StatusApiWaitMs = 3000;

// The exit code and the line for a failed service call.
int failed(account::Outcome outcome, const QString &what, const QString &text)
{
    if (outcome == account::Outcome::Refused) {
        console::error(QStringLiteral("%1 refused: %2").arg(what, text));
        return console::SignInRefused;
    }
    console::error(QStringLiteral("cannot reach the service at %1: %2").arg(apiBaseUrl, text));
    return console::Unreachable;
}

// Signs in with the saved credentials and loads the tunnels; an exit code when it fails.
int savedAccountTunnels(QList<TunnelRecord> *tunnels)
{
    const QString phone = account::savedPhone();
    const QString password = account::savedPassword();
    if (phone.isEmpty() || password.isEmpty()) {
        console::error(QStringLiteral("not signed in: run \"borvane-agent login\" first"));
        return console::NotSignedIn;
    }
    QString text;
    account::Outcome outcome = account::signInAndWait(phone, password, &text);
    if (outcome != account::Outcome::Done)
        return failed(outcome, QStringLiteral("sign-in"), text);
    outcome = account::tunnelListAndWait(tunnels, &text);
    if (outcome != account::Outcome::Done)
        return failed(outcome, QStringLiteral("tunnel list"), text);
    return console::Ok;
}

// Columns padded to their widest cell; the last one (a free text) is not padded.
void printTable(const QList<QStringList> &rows)
{
    QVector<int> widths;
    for (const QStringList &row : rows)
        for (int i = 0; i < row.size(); ++i) {
            if (widths.size() <= i)
                widths.append(0);
            widths[i] = qMax(widths[i], row[i].size());
        }
    for (const QStringList &row : rows) {
        QString line;
        for (int i = 0; i < row.size(); ++i)
            line += i + 1 < row.size() ? row[i].leftJustified(widths[i] + 2) : row[i];
        console::out(line.trimmed());
    }
}

// A domain that can be a settings key: "/" and "\" would make it a group, and the web never
// hands out names with white space or "=".
bool plausibleDomain(const QString &domain)
{
    if (domain.isEmpty() || domain.size() > 253)
        return false;
    for (const QChar c : domain)
        if (c.isSpace() || c == QLatin1Char('/') || c == QLatin1Char('\\') ||
            c == QLatin1Char('=') || c == QLatin1Char('#') || c == QLatin1Char(';'))
            return false;
    return true;
}

} // namespace

int login()
{
    const QString phone = console::prompt(QStringLiteral("Phone: "), false).trimmed();
    const QString password = console::prompt(QStringLiteral("Password: "), true);
    if (phone.isEmpty() || password.trimmed().isEmpty()) {
        console::error(QStringLiteral("phone and password must not be empty"));
        return console::Usage;
    }
    QString text;
    // Sent as typed, saved trimmed: as the sign-in window does.
    const account::Outcome outcome = account::signInAndWait(phone, password, &text);
    if (outcome != account::Outcome::Done)
        return failed(outcome, QStringLiteral("sign-in"), text);
    writeSetting(QStringLiteral("username"), phone);
    writeSetting(QStringLiteral("password"), password.trimmed());
    console::out(QStringLiteral("signed in as %1; saved in %2").arg(text, settingsFilePath()));
    return console::Ok;
}

int list()
{
    QList<TunnelRecord> tunnels;
    if (const int code = savedAccountTunnels(&tunnels))
        return code;
    QList<QVariantMap> running;
    QString error;
    if (!readStatusApi(&running, &error))
        console::note(QStringLiteral("no program of this machine reports tunnels (%1): every "
                                     "tunnel shows as stopped")
                          .arg(error));
    QHash<QString, QString> states;
    for (const QVariantMap &t : qAsConst(running))
        states.insert(t.value(QStringLiteral("domain")).toString(),
                      t.value(QStringLiteral("state")).toString());
    QList<QStringList> rows{{QStringLiteral("DOMAIN"), QStringLiteral("STATE"),
                             QStringLiteral("AUTOSTART"), QStringLiteral("LOCAL"),
                             QStringLiteral("PUBLIC"), QStringLiteral("NAME")}};
    for (const TunnelRecord &r : qAsConst(tunnels)) {
        const QString publicAddress =
            r.type == 0 ? r.domain : r.domain + QLatin1Char(':') + QString::number(r.serverPort);
        rows.append(
            {r.domain, states.value(r.domain, QStringLiteral("stopped")),
             account::autostartFlag(r.domain) ? QStringLiteral("on") : QStringLiteral("off"),
             r.clientIp + QLatin1Char(':') + QString::number(r.clientPort), publicAddress, r.name});
    }
    printTable(rows);
    return console::Ok;
}

int setAutostart(const QString &domain, bool on)
{
    if (!plausibleDomain(domain)) {
        console::error(QStringLiteral("not a tunnel domain: \"%1\"").arg(domain));
        return console::Usage;
    }
    QList<TunnelRecord> tunnels;
    if (const int code = savedAccountTunnels(&tunnels))
        return code;
    const bool known = std::any_of(tunnels.cbegin(), tunnels.cend(),
                                   [&](const TunnelRecord &r) { return r.domain == domain; });
    if (!known) {
        console::error(QStringLiteral("the account has no tunnel %1 (see \"borvane-agent list\")")
                           .arg(domain));
        return console::Usage;
    }
    // The values the edit form writes: "true", or the empty string.
    writeSetting(domain, on ? QStringLiteral("true") : QString());
    console::out(QStringLiteral("%1: autostart %2%3")
                     .arg(domain, on ? QStringLiteral("on") : QStringLiteral("off"),
                          QStringLiteral(" (a running agent follows within a minute)")));
    return console::Ok;
}

bool readStatusApi(QList<QVariantMap> *tunnels, QString *error)
{
    QNetworkAccessManager network;
    QNetworkRequest request(QUrl(QStringLiteral("http://%1/api/tunnels").arg(statusApiAddress())));
    request.setTransferTimeout(StatusApiWaitMs);
    QNetworkReply *reply = network.get(request);
    QEventLoop loop;
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    loop.exec();
    reply->deleteLater();
    if (reply->error() != QNetworkReply::NoError) {
        *error = statusApiAddress() + QStringLiteral(": ") + reply->errorString();
        return false;
    }
    const QJsonDocument document = QJsonDocument::fromJson(reply->readAll());
    const QJsonValue list = document.object().value(QStringLiteral("tunnels"));
    if (!list.isArray()) {
        *error = statusApiAddress() + QStringLiteral(": not the status API's answer");
        return false;
    }
    for (const QJsonValue &value : list.toArray())
        tunnels->append(value.toObject().toVariantMap());
    return true;
}

int status()
{
    QList<QVariantMap> tunnels;
    QString error;
    if (!readStatusApi(&tunnels, &error)) {
        console::error(QStringLiteral("no Borvane program answers on %1").arg(error));
        return console::NotRunning;
    }
    QList<QStringList> rows{{QStringLiteral("DOMAIN"), QStringLiteral("STATE"),
                             QStringLiteral("CONNECTIONS"), QStringLiteral("IN"),
                             QStringLiteral("OUT"), QStringLiteral("RTT"),
                             QStringLiteral("REASON")}};
    for (const QVariantMap &t : qAsConst(tunnels)) {
        const QVariant rtt = t.value(QStringLiteral("rttMs"));
        rows.append(
            {t.value(QStringLiteral("domain")).toString(),
             t.value(QStringLiteral("state")).toString(),
             t.value(QStringLiteral("connections"))
                 .toMap()
                 .value(QStringLiteral("active"))
                 .toString(),
             t.value(QStringLiteral("bytes")).toMap().value(QStringLiteral("in")).toString(),
             t.value(QStringLiteral("bytes")).toMap().value(QStringLiteral("out")).toString(),
             rtt.isNull() ? QStringLiteral("-") : rtt.toString() + QStringLiteral("ms"),
             t.value(QStringLiteral("stateReason")).toString()});
    }
    printTable(rows);
    return console::Ok;
}

} // namespace commands
