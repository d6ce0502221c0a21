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

} // namespace statustext
