#include "api.h"
#include "httprequest.h"

#include <QDebug>

namespace api {

const QStringList &secretItems()
{
    static const QStringList names{QLatin1String(Token), QLatin1String(TunnelToken),
                                   QLatin1String(Pwd), QStringLiteral("password")};
    return names;
}

QVariantMap forLog(const QVariantMap &answer)
{
    QVariantMap copy;
    for (auto it = answer.cbegin(); it != answer.cend(); ++it)
        copy.insert(it.key(), secretItems().contains(it.key()) && !it.value().toString().isEmpty()
                                  ? QVariant(QStringLiteral("***"))
                                  : forLog(it.value()));
    return copy;
}

QVariant forLog(const QVariant &value)
{
    if (value.type() == QVariant::Map)
        return forLog(value.toMap());
    if (value.type() == QVariant::List) {
        QVariantList list;
        for (const QVariant &item : value.toList())
            list.append(forLog(item));
        return list;
    }
    return value;
}

void logAnswer(const QVariantMap &answer)
{
    qDebug() << forLog(answer);
    qDebug() << answer.value(QLatin1String(Msg)).toString();
}

void fetchText(const char *path, const QObject *context, std::function<void(const QString &)> show)
{
    HttpRequest(url(path)).get(
        context,
        [show](bool flag, const QVariantMap &answer) {
            logAnswer(answer);
            if (flag)
                show(answer.value(QLatin1String(Data)).toString());
        },
        [](const QString &message) { qDebug() << "err" << message; });
}

} // namespace api
