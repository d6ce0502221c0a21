#include "statustext.h"

namespace statustext {

QString state(TunnelStatus::State state)
{
    switch (state) {
    case TunnelStatus::State::Starting:
        return QStringLiteral("启动中");
    case TunnelStatus::State::Running:
        return QStringLiteral("运行中");
    case TunnelStatus::State::Reconnecting:
        return QStringLiteral("重连中");
    case TunnelStatus::State::LocalUnreachable:
        return QStringLiteral("本地服务不可达");
    case TunnelStatus::State::Stopped:
        break;
    }
    return QStringLiteral("已停止");
}

QString bytes(double bytes)
{
    static const char *const units[] = {"B", "KB", "MB", "GB", "TB"};
    if (!(bytes > 0)) // also NaN
        bytes = 0;
    // Three digits at most, one decimal below ten.
    int unit = 0;
    while (bytes >= 1000 && unit < 4) {
        bytes /= 1024;
        ++unit;
    }
    const int decimals = unit > 0 && bytes < 10 ? 1 : 0;
    return QString::number(bytes, 'f', decimals) + QLatin1Char(' ') + QLatin1String(units[unit]);
}

QString rate(double bytesPerSecond)
{
    return bytes(bytesPerSecond) + QStringLiteral("/s");
}

QString roundTrip(int ms)
{
    if (ms < 0)
        return QStringLiteral("-");
    return ms == 0 ? QStringLiteral("<1 ms") : QString::number(ms) + QStringLiteral(" ms");
}

QString expiry(const QString &stopTime, const QDateTime &now, bool *urgent)
{
    *urgent = false;
    QString text = stopTime.trimmed();
    if (text.endsWith(QStringLiteral("到期")))
        text.chop(2);
    text = text.trimmed();
    if (text.isEmpty())
        return QStringLiteral("长期有效");
    const QDate day = QDate::fromString(text.left(10), QStringLiteral("yyyy-MM-dd"));
    if (!day.isValid())
        return text + QStringLiteral(" 到期"); // shown as the service wrote it
    // The service writes a far year for a tunnel that does not end.
    if (day.year() >= 2099)
        return QStringLiteral("长期有效");
    QDateTime end = QDateTime::fromString(text, QStringLiteral("yyyy-MM-dd hh:mm:ss"));
    if (!end.isValid())
        end = QDateTime(day.addDays(1), QTime(0, 0)); // a date alone: paid for that whole day
    *urgent = now.secsTo(end) < qint64(ExpiryWarningDays) * 24 * 3600;
    return day.toString(QStringLiteral("yyyy-MM-dd")) + QStringLiteral(" 到期");
}

} // namespace statustext
