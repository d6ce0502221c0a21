#include "account.h"

#include "core/globals.h"
#include "core/settings.h"
#include "net/api.h"
#include "net/httprequest.h"

#include <QDebug>
#include <QEventLoop>

namespace account {

namespace {

// What the sign-in window shows for a refusal: "msg", a space and "data" when it is a text.
QString refusalText(const QVariantMap &answer)
{
    const QVariant data = answer.value(QLatin1String(api::Data));
    const QString dataText =
        data.type() == QVariant::Map || data.type() == QVariant::List ? QString() : data.toString();
    return (answer.value(QLatin1String(api::Msg)).toString() + QLatin1Char(' ') + dataText)
        .trimmed();
}

} // namespace

void signIn(const QObject *context, const QString &phone, const QString &password,
            std::function<void(Outcome outcome, const QString &text)> done)
{
    HttpRequest(api::url(api::SignIn))
        .addParam(QLatin1String(api::Phone), phone)
        .addParam(QLatin1String(api::Pwd), password)
        .get(
            context,
            [done](bool flag, const QVariantMap &answer) {
                api::logAnswer(answer);
                if (!flag) {
                    done(Outcome::Refused, refusalText(answer));
                    return;
                }
                const QVariantMap user = answer.value(QLatin1String(api::Data)).toMap();
                currentUserId = user.value(QStringLiteral("id")).toString();
                currentUserName = user.value(QStringLiteral("name")).toString();
                currentToken = user.value(QStringLiteral("token")).toString();
                writeSetting(QStringLiteral("token"), currentToken);
                writeSetting(QStringLiteral("userid"), currentUserId);
                done(Outcome::Done, currentUserName);
            },
            [done](const QString &error) {
                qDebug() << "err" << error;
                done(Outcome::Unreachable, error);
            });
}

void tunnelList(
    const QObject *context,
    std::function<void(Outcome outcome, const QList<TunnelRecord> &tunnels, const QString &text)>
        done)
{
    HttpRequest(api::url(api::TunnelList, currentUserId))
        .get(
            context,
            [done](bool flag, const QVariantMap &answer) {
                qDebug() << answer.value(QLatin1String(api::Msg)).toString();
                if (!flag) {
                    done(Outcome::Refused, {}, refusalText(answer));
                    return;
                }
                const QVariantList list = answer.value(QLatin1String(api::Data)).toList();
                qDebug() << "隧道总数量：" << list.size();
                QList<TunnelRecord> tunnels;
                for (const QVariant &entry : list) {
                    qDebug() << api::forLog(entry);
                    const TunnelRecord record = TunnelRecord::fromListEntry(entry.toMap());
                    if (record.id != QLatin1String("-1") && !record.domain.isEmpty())
                        tunnels.append(record);
                }
                done(Outcome::Done, tunnels, QString());
            },
            [done](const QString &error) {
                qDebug() << "err" << error;
                done(Outcome::Unreachable, {}, error);
            });
}

Outcome signInAndWait(const QString &phone, const QString &password, QString *text)
{
    QEventLoop loop;
    Outcome result = Outcome::Unreachable;
    signIn(&loop, phone, password, [&](Outcome outcome, const QString &answerText) {
        result = outcome;
        *text = answerText;
        loop.quit();
    });
    loop.exec();
    return result;
}

Outcome tunnelListAndWait(QList<TunnelRecord> *tunnels, QString *text)
{
    QEventLoop loop;
    Outcome result = Outcome::Unreachable;
    tunnelList(&loop,
               [&](Outcome outcome, const QList<TunnelRecord> &list, const QString &answerText) {
                   result = outcome;
                   *tunnels = list;
                   *text = answerText;
                   loop.quit();
               });
    loop.exec();
    return result;
}

QString savedPhone()
{
    return readSetting(QStringLiteral("/setting/username"));
}

QString savedPassword()
{
    return readSetting(QStringLiteral("/setting/password"));
}

bool autostartFlag(const QString &domain)
{
    return readSetting(QStringLiteral("/setting/") + domain) == QLatin1String("true");
}

} // namespace account
