#pragma once

#include <QString>

// Process-wide values. Written only on the GUI thread, by the writers named beside them.
extern QString apiBaseUrl; // every API URL is apiBaseUrl + a relative path
extern const QString clientVersion;
extern QString clientUuid;      // start-up: a new braced UUID each run
extern QString logFileStamp;    // start-up: "yyyy_MM_dd_hh_mm_ss"
extern QString currentUserId;   // sign-in
extern QString currentUserName; // sign-in
extern QString currentToken;    // start-up (saved token), then sign-in

// The web console page for tunnels and the official website, fixed at build time.
QString webConsoleTunnelUrl();
QString websiteHost();
// Where the local status API listens ("127.0.0.1:4180"), fixed at build time.
QString statusApiAddress();
