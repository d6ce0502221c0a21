#pragma once

#include "tunnel/tunnelstatus.h"

#include <QList>
#include <QString>

#include <mutex>

// The tunnels as the home window last published them, for readers on other threads (the local
// status API). The GUI thread publishes a copy and a reader takes one; the lock is held only for
// the copy, so neither side waits on the other's work.
class StatusBoard
{
public:
    void publish(const QList<TunnelStatus> &tunnels);
    QList<TunnelStatus> snapshot() const;

    // The process's board: the home window publishes to it, main's status API reads it. Never
    // destroyed, so a status thread still finishing an answer at exit reads a live board.
    static StatusBoard &shared();

private:
    mutable std::mutex mutex;
    QList<TunnelStatus> tunnels;
};

// How a tunnel's figures read to a person, in the tray and on the status page.
namespace statustext {

QString state(TunnelStatus::State state); // "运行中", "重连中", ...
QString bytes(double bytes);              // "0 B", "1.2 KB", "3.4 MB"
QString rate(double bytesPerSecond);      // "1.2 MB/s"

} // namespace statustext
