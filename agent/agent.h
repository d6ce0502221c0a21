#pragma once

#include "agent/account.h"

#include <QHash>
#include <QObject>
#include <QSet>
#include <QTimer>

class TunnelController;
class TunnelRegistry;

// The headless front end's work: signs in with the saved credentials, loads the tunnel list,
// starts the tunnels whose autostart flag is set and keeps them up through their controllers
// (which reconnect by themselves), and reloads the list periodically so that a tunnel bought or
// edited on the web, or a flag changed with "borvane-agent enable", takes effect without a
// restart. Lives on the main thread.
class Agent : public QObject
{
    Q_OBJECT

public:
    explicit Agent(TunnelRegistry *registry, QObject *parent = nullptr);
    ~Agent() override;

    void start();
    // Ends every tunnel at once, without waiting on their relays.
    void stopTunnels();

    static constexpr int ReloadIntervalMs = 60 * 1000;
    static constexpr int FirstSignInRetryMs = 1000;
    static constexpr int MaxSignInRetryMs = 60 * 1000;

signals:
    // The agent cannot go on by itself: no saved credentials, or the service refused them.
    void finished(int exitCode);

private:
    void signIn();
    void signedIn(account::Outcome outcome, const QString &text);
    void loadList();
    void listLoaded(account::Outcome outcome, const QList<TunnelRecord> &tunnels,
                    const QString &text);
    void follow(TunnelController *controller);
    void update(TunnelController *controller, const TunnelRecord &record, bool flag);

    TunnelRegistry *registry;
    QHash<QString, TunnelController *> byDomain;
    QHash<QString, bool> flagSeen; // the autostart flag at the previous reload
    QSet<QString> pushedOff;       // stopped by a sign-in elsewhere: not restarted by a reload
    QTimer reloadTimer;
    QTimer retryTimer;
    int retryDelayMs = FirstSignInRetryMs;
    bool signedInOnce = false;
};
