#pragma once

#include "tunnel/tunnelrecord.h"

#include <QList>
#include <QString>

#include <functional>

class QObject;

// The two service calls the agent makes, as the sign-in and home windows make them: sign-in by
// phone and password, and the account's tunnel list. Answers arrive later, on this thread, bound
// to a context object.
namespace account {

enum class Outcome {
    Done,
    Refused,    // the service answered with "flag" false
    Unreachable // no answer: the network or the service is down, or the answer was not JSON
};

// Sets currentUserId, currentUserName and currentToken on success and saves the token and the
// user id as the home window does. text: the account's name, or why it failed.
void signIn(const QObject *context, const QString &phone, const QString &password,
            std::function<void(Outcome outcome, const QString &text)> done);

// The tunnels of the signed-in account; entries with the id "-1" are left out.
void tunnelList(
    const QObject *context,
    std::function<void(Outcome outcome, const QList<TunnelRecord> &tunnels, const QString &text)>
        done);

// The same two, waited for in a local event loop (for the commands, which have nothing else to
// do meanwhile).
Outcome signInAndWait(const QString &phone, const QString &password, QString *text);
Outcome tunnelListAndWait(QList<TunnelRecord> *tunnels, QString *text);

// The saved credentials ("/setting/username", "/setting/password").
QString savedPhone();
QString savedPassword();
// The autostart flag of a tunnel: exactly "true" under "/setting/" + domain.
bool autostartFlag(const QString &domain);

} // namespace account
