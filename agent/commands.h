#pragma once

#include <QList>
#include <QStringList>
#include <QVariantMap>

// The agent's commands besides "run"; each returns a console::ExitCode.
namespace commands {

// Asks for the phone and the password (no echo on a terminal), signs in, and saves them as the
// sign-in window does.
int login();
// The account's tunnels: domain, state (from the local status API, when a program of this
// machine runs them), autostart flag, addresses and name.
int list();
// Sets or clears the autostart flag of one tunnel of the account.
int setAutostart(const QString &domain, bool on);
// The running tunnels as the local status API reports them.
int status();

// The status API's tunnels, or false when nothing answers there.
bool readStatusApi(QList<QVariantMap> *tunnels, QString *error);

} // namespace commands
