#pragma once

// The numbered events a tunnel session reports through tunnel_info(type, info). Negative ones are
// failures and stops; the card turns them into its buttons and log.
namespace TunnelEvent {
enum Type : int {
    ConnectFailed = -1,     // the relay server could not be reached at start
    Failed = -2,            // sign-in refused, unreadable message, not configured
    Stopped = -3,           // TunnelStop
    Reconnecting = -4,      // the server fell silent; a reconnect follows
    SignedInElsewhere = -5, // the server's STOP
    ReconnectFailed = -6,   // a reconnect could not reach the server; the next tick tries again
    Progress = 0,
    SignedIn = 1,
    HeartbeatReceived = 10,
    HeartbeatSent = 11,
    RecordUpdated = 12, // the sign-in wrote the record: refresh the labels
};
} // namespace TunnelEvent
