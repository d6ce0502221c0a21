#include "statusboard.h"

void StatusBoard::publish(const QList<TunnelStatus> &tunnels)
{
    std::lock_guard<std::mutex> lock(mutex);
    this->tunnels = tunnels;
}

QList<TunnelStatus> StatusBoard::snapshot() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return tunnels;
}

StatusBoard &StatusBoard::shared()
{
    static auto *board = new StatusBoard;
    return *board;
}

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
    // As the card rounds its rates: three digits at most, one decimal below ten.
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

} // namespace statustext
