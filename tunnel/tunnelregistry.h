#pragma once

#include "tunnel/statusboard.h"
#include "tunnel/tunnelrecord.h"

#include <QList>
#include <QObject>

#include <memory>

class TunnelController;

// The tunnels of this run, one controller each, in the order they were added. Made once at
// start-up; every front end (the home window's cards and tray, the local status API) reads the
// tunnels here. Lives on the GUI thread; its board is the copy other threads read.
class TunnelRegistry : public QObject
{
    Q_OBJECT

public:
    explicit TunnelRegistry(QObject *parent = nullptr);

    // A new controller for record, listed until it is destroyed. The caller owns it (the card
    // that shows it, in the program): a tunnel ends with whatever shows it.
    TunnelController *add(const TunnelRecord &record);
    QList<TunnelController *> controllers() const { return list; }
    // Every tunnel's status, republished to the board whenever one changes.
    std::shared_ptr<const StatusBoard> board() const { return statusBoard; }

signals:
    void added(TunnelController *controller);

private:
    void publish();

    QList<TunnelController *> list;
    std::shared_ptr<StatusBoard> statusBoard = std::make_shared<StatusBoard>();
};
