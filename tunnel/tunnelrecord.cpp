#include "tunnelrecord.h"

namespace {

QString textOf(const QVariantMap &entry, const char *key)
{
    return entry.value(QLatin1String(key)).toString();
}

// A JSON number and a numeric string give the same integer; anything else gives 0.
int integerOf(const QVariantMap &entry, const char *key)
{
    const QVariant value = entry.value(QLatin1String(key));
    bool ok = false;
    const int n = value.toInt(&ok);
    return ok ? n : 0;
}

} // namespace

TunnelRecord TunnelRecord::fromListEntry(const QVariantMap &entry)
{
    TunnelRecord r;
    r.id = textOf(entry, "id");
    r.name = textOf(entry, "name");
    r.serverPort = integerOf(entry, "serverPort");
    r.clientPort = integerOf(entry, "clientPort");
    r.type = integerOf(entry, "type");
    r.clientIp = textOf(entry, "clientIp");
    r.stopTime = textOf(entry, "stopTime") + QStringLiteral(" 到期");
    r.domain = textOf(entry, "domain");
    r.serverIp = textOf(entry, "serverIp");
    r.token = textOf(entry, "token");
    r.bdw = integerOf(entry, "bdw");
    return r;
}
