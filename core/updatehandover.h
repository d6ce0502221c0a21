#pragma once

#include <QString>
#include <QStringList>

#include <optional>

// What the client and its update program tsy_up agree on when the client hands a downloaded
// release over: where the files wait, how tsy_up learns which process to wait for, and the
// line tsy_up leaves in its log, which the restarted client reads to learn that an update was
// refused (so that it does not download and hand over the same release again and again).
namespace updatehandover {

// The folder beside the programs where the client stages a release for tsy_up, together with
// the release list (UpdateManifest::fileName()) the files were checked against.
inline QString folderName()
{
    return QStringLiteral("update");
}

// Set in tsy_up's environment by the client: its own process id, which tsy_up waits to end
// before it moves anything.
constexpr char ClientPidVariable[] = "BORVANE_CLIENT_PID";

// tsy_up's log beside the programs: one line per run, appended.
inline QString logFileName()
{
    return QStringLiteral("tsy_up.log");
}

// The outcome of one run, as the log line says it (after the time stamp).
QString installedLine(const QStringList &names);
// version is the release tsy_up was handed (empty when it could not tell).
QString refusedLine(const QString &version, const QString &reason);

struct Refusal
{
    QString version;
    QString reason;
};

// The refusal the last line of the log in programDir reports; nothing when the last run
// installed its release, when it could not tell the version, or when there is no log.
std::optional<Refusal> lastRefusal(const QString &programDir);

} // namespace updatehandover
