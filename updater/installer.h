#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

// The work of tsy_up, the update program the client starts beside itself before it ends: wait
// for the client to go, put the staged release in place, start the client again and say in
// one log line what happened.
namespace tsyup {

// The client ends right after starting us; one that is still there after this is stuck.
constexpr int ClientExitWaitMs = 10000;

struct Result
{
    bool installed = false;
    QString version;   // the release that was staged, when its list could be read
    QStringList names; // what was put in place
    QString error;     // why nothing was
};

// Puts the release staged in programDir's update folder in place: exactly the files its
// release list names, each only when it is a plain file (never a link) with the listed size
// and hash, and only over plain files. The list must be signed by publicKey; a development
// build (no key) takes it unsigned. Whole or not at all: on any failure the files moved so far
// go back.
Result install(const QString &programDir, const QByteArray &publicKey);

// One run: waits up to waitMs for the client clientPid (0: none) to end, installs, clears the
// update folder, starts the client again and appends the outcome to the log. Returns the
// outcome; started tells whether the client could be started.
QString run(const QString &programDir, qint64 clientPid, int waitMs, const QByteArray &publicKey,
            bool *started);

} // namespace tsyup
