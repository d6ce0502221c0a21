#pragma once

#include <QString>
#include <QVariantMap>

// One tunnel of the account, as the service's tunnel list describes it.
struct TunnelRecord
{
    // Configuration state that marks a tunnel the service has not configured yet.
    static constexpr int StateNotConfigured = 2;

    QString id; // "-1" marks an entry that gets no card
    QString name;
    int serverPort = 0; // public port
    int clientPort = 0; // port of the local service
    int type = 0;       // 0: web tunnel reached through its domain alone
    int state = 0;      // configuration state; see StateNotConfigured
    QString clientIp;
    QString stopTime; // expiry text, "<date> 到期"
    QString domain;   // identity of the tunnel in the home window
    QString serverIp; // relay server
    QString token;    // the tunnel's own token
    int bdw = 0;      // bandwidth in Mbps

    TunnelRecord() = default;
    // Builds a record from one entry of the tunnel list answer.
    static TunnelRecord fromListEntry(const QVariantMap &entry);

    bool isConfigured() const { return state != StateNotConfigured; }
};
