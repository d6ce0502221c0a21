#include "api.h"

#include <QDebug>

namespace api {

namespace {
bool isSecret(const QString &name)
{
    return name == QLatin1String(Token) || name == QLatin1String(TunnelToken) ||
           name == QLatin1String(Pwd) || name == QLatin1String("password");
}
} // namespace

QVariantMap forLog(const QVariantMap &answer)
{
    QVariantMap copy;
    for (auto it = answer.cbegin(); it != answer.cend(); ++it)
        copy.insert(it.key(), isSecret(it.key()) && !it.value().toString().isEmpty()
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

} // namespace api
