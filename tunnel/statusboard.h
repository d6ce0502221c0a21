#pragma once

#include "tunnel/tunnelstatus.h"

#include <QList>

#include <mutex>

// The tunnels as the registry last published them, for readers on other threads (the local
// status API). The GUI thread publishes a copy and a reader takes one; the lock is held only for
// the copy, so neither side waits on the other's work.
class StatusBoard
{
public:
    void publish(const QList<TunnelStatus> &tunnels)
    {
        std::lock_guard<std::mutex> lock(mutex);
        this->tunnels = tunnels;
    }
    QList<TunnelStatus> snapshot() const
    {
        std::lock_guard<std::mutex> lock(mutex);
        return tunnels;
    }

private:
    mutable std::mutex mutex;
    QList<TunnelStatus> tunnels;
};
