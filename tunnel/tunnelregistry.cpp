#include "tunnelregistry.h"

#include "tunnelcontroller.h"

TunnelRegistry::TunnelRegistry(QObject *parent) : QObject(parent) {}

TunnelController *TunnelRegistry::add(const TunnelRecord &record)
{
    auto *controller = new TunnelController(record);
    list.append(controller);
    connect(controller, &TunnelController::statusChanged, this, &TunnelRegistry::publish);
    connect(controller, &QObject::destroyed, this, [this, controller] {
        list.removeAll(controller);
        publish();
    });
    publish();
    emit added(controller);
    return controller;
}

void TunnelRegistry::publish()
{
    QList<TunnelStatus> tunnels;
    QHash<QString, std::shared_ptr<RequestLog>> requests;
    tunnels.reserve(list.size());
    for (const TunnelController *controller : qAsConst(list)) {
        tunnels.append(controller->status());
        requests.insert(controller->status().domain, controller->requests());
    }
    statusBoard->publish(tunnels);
    statusBoard->publishRequests(requests);
}
