#include "agent.h"

#include "agent/console.h"
#include "tunnel/tunnelcontroller.h"
#include "tunnel/tunnelevent.h"
#include "tunnel/tunnelregistry.h"

#include <QCoreApplication>
#include <QDebug>

Agent::Agent(TunnelRegistry *registry, QObject *parent) : QObject(parent), registry(registry)
{
    reloadTimer.setInterval(ReloadIntervalMs);
    connect(&reloadTimer, &QTimer::timeout, this, &Agent::loadList);
    retryTimer.setSingleShot(true);
    connect(&retryTimer, &QTimer::timeout, this, &Agent::signIn);
}

Agent::~Agent()
{
    stopTunnels();
}

void Agent::start()
{
    if (account::savedPhone().isEmpty() || account::savedPassword().isEmpty()) {
        console::error(QStringLiteral("not signed in: run \"borvane-agent login\" first"));
        emit finished(console::NotSignedIn);
        return;
    }
    signIn();
}

void Agent::signIn()
{
    qDebug() << "AgentLogin";
    account::signIn(
        this, account::savedPhone(), account::savedPassword(),
        [this](account::Outcome outcome, const QString &text) { signedIn(outcome, text); });
}

void Agent::signedIn(account::Outcome outcome, const QString &text)
{
    switch (outcome) {
    case account::Outcome::Done:
        retryDelayMs = FirstSignInRetryMs;
        if (!signedInOnce)
            console::note(QStringLiteral("signed in as %1").arg(text));
        signedInOnce = true;
        loadList();
        reloadTimer.start();
        break;
    case account::Outcome::Refused:
        console::error(QStringLiteral("sign-in refused: %1").arg(text));
        if (!signedInOnce) {
            // Saved credentials the service refuses do not get better by asking again.
            emit finished(console::SignInRefused);
            break;
        }
        // The password was changed elsewhere, say: the running tunnels sign in with their own
        // tokens and go on; the list waits for a sign-in that works ("login" again).
        retryTimer.start(ReloadIntervalMs);
        break;
    case account::Outcome::Unreachable:
        // As the sign-in window does: try again after a pause that doubles, so that a service
        // or a network that is down is not flooded. Running tunnels keep running meanwhile.
        console::note(QStringLiteral("cannot reach the service (%1), trying again in %2 s")
                          .arg(text)
                          .arg(retryDelayMs / 1000));
        retryTimer.start(retryDelayMs);
        retryDelayMs = qMin(retryDelayMs * 2, MaxSignInRetryMs);
        break;
    }
}

void Agent::loadList()
{
    qDebug() << "进入重载隧道";
    account::tunnelList(this, [this](account::Outcome outcome, const QList<TunnelRecord> &list,
                                     const QString &text) { listLoaded(outcome, list, text); });
}

void Agent::listLoaded(account::Outcome outcome, const QList<TunnelRecord> &tunnels,
                       const QString &text)
{
    if (outcome == account::Outcome::Unreachable)
        return; // the next reload tries again; the tunnels do not depend on the list
    if (outcome == account::Outcome::Refused) {
        // The token has run out, most likely: sign in again, which loads the list once more.
        qDebug() << "AgentListRefused" << text;
        reloadTimer.stop();
        signIn();
        return;
    }
    QSet<QString> listed;
    for (const TunnelRecord &record : tunnels) {
        listed.insert(record.domain);
        const bool flag = account::autostartFlag(record.domain);
        TunnelController *controller = byDomain.value(record.domain);
        if (!controller) {
            controller = registry->add(record);
            controller->setParent(this);
            byDomain.insert(record.domain, controller);
            follow(controller);
            console::note(QStringLiteral("tunnel %1 (%2 -> %3)%4")
                              .arg(record.domain, controller->status().publicAddress,
                                   controller->status().localAddress,
                                   flag ? QStringLiteral(", autostart") : QString()));
            if (flag)
                controller->autostart();
        } else {
            update(controller, record, flag);
        }
        flagSeen.insert(record.domain, flag);
    }
    // A tunnel the account no longer holds (expired, removed on the web) ends here too.
    for (auto it = byDomain.begin(); it != byDomain.end();) {
        if (listed.contains(it.key())) {
            ++it;
            continue;
        }
        console::note(QStringLiteral("tunnel %1 is no longer in the account").arg(it.key()));
        delete it.value();
        flagSeen.remove(it.key());
        pushedOff.remove(it.key());
        it = byDomain.erase(it);
    }
}

void Agent::update(TunnelController *controller, const TunnelRecord &record, bool flag)
{
    TunnelRecord &current = controller->record();
    const bool running = controller->status().isRunning();
    // A changed address or token needs a new session; a new name does not.
    const bool restart = current.clientIp != record.clientIp ||
                         current.clientPort != record.clientPort || current.token != record.token ||
                         current.serverIp != record.serverIp || current.type != record.type ||
                         current.serverPort != record.serverPort;
    if (restart && running) {
        console::note(
            QStringLiteral("tunnel %1 was changed on the web: restarting").arg(record.domain));
        controller->stop();
    }
    current = record;
    controller->recordChanged();

    const bool flagTurnedOn = flag && !flagSeen.value(record.domain);
    if (flagTurnedOn)
        pushedOff.remove(record.domain);
    if (!flag && flagSeen.value(record.domain) && running) {
        console::note(
            QStringLiteral("tunnel %1: autostart turned off, stopping").arg(record.domain));
        controller->stop();
    } else if (flag && !controller->status().isRunning() && !pushedOff.contains(record.domain)) {
        // Started again: after a change, after a stop it could not recover from (such as
        // another program of this machine holding it), and when the flag was just set.
        controller->autostart();
    }
}

// State changes go to standard error too, for a terminal or the service's journal.
void Agent::follow(TunnelController *controller)
{
    auto last = std::make_shared<TunnelStatus>(controller->status());
    connect(controller, &TunnelController::statusChanged, this, [controller, last] {
        const TunnelStatus status = controller->status();
        if (status.state == TunnelStatus::State::Starting ||
            (status.state == last->state && status.stateReason == last->stateReason))
            return;
        *last = status;
        QString line = QStringLiteral("tunnel %1: %2")
                           .arg(status.domain, TunnelStatus::stateName(status.state));
        if (!status.stateReason.isEmpty())
            line += QStringLiteral(" (%1)").arg(status.stateReason);
        console::note(line);
    });
    connect(controller, &TunnelController::tunnelEvent, this,
            [this, controller](int type, const QString &) {
                if (type == TunnelEvent::SignedInElsewhere)
                    pushedOff.insert(controller->record().domain);
            });
}

void Agent::stopTunnels()
{
    reloadTimer.stop();
    retryTimer.stop();
    const QList<TunnelController *> controllers = byDomain.values();
    byDomain.clear();
    qDeleteAll(controllers);
    // The sessions go with deleteLater; let them go now, while there is still a loop's worth
    // of program around them.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}
