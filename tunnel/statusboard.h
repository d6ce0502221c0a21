#pragma once

#include "tunnel/requestlog.h"
#include "tunnel/tunnelstatus.h"

#include <QHash>
#include <QList>

#include <memory>
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
    // The request logs by domain; each is safe to read from any thread.
    void publishRequests(const QHash<QString, std::shared_ptr<RequestLog>> &logs)
    {
        std::lock_guard<std::mutex> lock(mutex);
        requestLogs = logs;
    }
    std::shared_ptr<RequestLog> requests(const QString &domain) const
    {
        std::lock_guard<std::mutex> lock(mutex);
        return requestLogs.value(domain);
    }

private:
    mutable std::mutex mutex;
    QList<TunnelStatus> tunnels;
    QHash<QString, std::shared_ptr<RequestLog>> requestLogs;
};
