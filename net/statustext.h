#pragma once

#include "tunnel/tunnelstatus.h"

#include <QDateTime>
#include <QString>

// How a tunnel's figures read to a person, on the card, in the tray and on the status page.
namespace statustext {

QString state(TunnelStatus::State state); // "运行中", "重连中", ...
QString bytes(double bytes);              // "0 B", "1.2 KB", "3.4 MB"
QString rate(double bytesPerSecond);      // "1.2 MB/s"
QString roundTrip(int ms);                // "38 ms", "<1 ms", "-" while unknown

// The paid-until line of a tunnel from its record's stopTime ("<date> 到期"): "2027-01-01 到期",
// or "长期有效" when it has none. urgent is set within ExpiryWarningDays of the end, and after it.
QString expiry(const QString &stopTime, const QDateTime &now, bool *urgent);
constexpr int ExpiryWarningDays = 3;

} // namespace statustext
