#include "installer.h"

#include "core/updatehandover.h"
#include "core/updatemanifest.h"
#include "platform/platform.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTextStream>
#include <QThread>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <cerrno>
#include <csignal>
#endif

namespace tsyup {

namespace {

constexpr int ClientExitPollMs = 100;
// The release list is a few lines per file.
constexpr qint64 MaxManifestBytes = 1024 * 1024;

QString asideName(const QString &path)
{
    return path + QStringLiteral(".old");
}

#ifdef Q_OS_WIN
bool waitForExit(qint64 pid, int timeoutMs)
{
    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, DWORD(pid));
    if (!process)
        return true; // no such process any more
    const bool ended = WaitForSingleObject(process, DWORD(timeoutMs)) == WAIT_OBJECT_0;
    CloseHandle(process);
    return ended;
}
#else
bool processGone(qint64 pid)
{
    if (::kill(pid_t(pid), 0) == -1 && errno == ESRCH)
        return true;
    // Ended but not yet collected by its parent: it holds no file any more.
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (stat.open(QIODevice::ReadOnly)) {
        const QByteArray line = stat.readAll();
        const int close = line.lastIndexOf(')');
        return close > 0 && line.mid(close + 2, 1) == "Z";
    }
    return false;
}

bool waitForExit(qint64 pid, int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    while (!processGone(pid)) {
        if (timer.elapsed() >= timeoutMs)
            return false;
        QThread::msleep(ClientExitPollMs);
    }
    return true;
}
#endif

struct Move
{
    QString target;
    bool hadOld = false;
};

// Each installed file is first renamed aside (a running program may be renamed, not
// overwritten, on Windows), then the staged file is renamed in: renames within one folder are
// whole, so the target is always either the old or the new file. On any failure the files
// moved so far go back.
class Installer
{
public:
    Installer(const QString &programDir)
        : dir(programDir), staging(programDir + QLatin1Char('/') + updatehandover::folderName())
    {
    }

    Result run(const QByteArray &publicKey)
    {
        Result result;
        QStringList names;
        if (!pick(publicKey, result.version, names, result.error))
            return result;
        for (const QString &name : names) {
            if (!moveIn(name, result.error)) {
                rollBack();
                return result;
            }
        }
        // The old files are no longer needed; a program still running from one (our own old
        // copy on Windows) keeps it until the next update clears it.
        for (const Move &move : done)
            if (move.hadOld)
                QFile::remove(asideName(move.target));
        result.installed = true;
        result.names = names;
        return result;
    }

    // The version the staged list names, read without its signature: only ever used to tell
    // the client which offer not to start again by itself.
    QString stagedVersion() const
    {
        QFile file(manifestPath());
        if (QFileInfo(file.fileName()).isSymLink() || !file.open(QIODevice::ReadOnly))
            return {};
        const auto manifest = UpdateManifest::parse(file.read(MaxManifestBytes), nullptr);
        return manifest ? manifest->version : QString();
    }

    void clearStaging()
    {
        // A link in place of the folder goes, never what it points to.
        if (QFileInfo(staging).isSymLink())
            QFile::remove(staging);
        else
            QDir(staging).removeRecursively();
    }

private:
    QString manifestPath() const { return staging + QLatin1Char('/') + UpdateManifest::fileName(); }

    // Exactly the listed files, and only when every one is there as it was checked.
    bool pick(const QByteArray &publicKey, QString &version, QStringList &names, QString &error)
    {
        if (QFileInfo(staging).isSymLink()) {
            error = QStringLiteral("the update folder is a link");
            return false;
        }
        QFile file(manifestPath());
        if (QFileInfo(file.fileName()).isSymLink() || !file.open(QIODevice::ReadOnly)) {
            error = QStringLiteral("no release list");
            return false;
        }
        const QByteArray document = file.read(MaxManifestBytes);
        const auto manifest = publicKey.isEmpty()
                                  ? UpdateManifest::parse(document, &error)
                                  : UpdateManifest::verify(document, publicKey, &error);
        if (!manifest)
            return false;
        version = manifest->version;
        for (const UpdateManifest::File &entry : manifest->files) {
            const QString staged = staging + QLatin1Char('/') + entry.name;
            const QFileInfo target(dir + QLatin1Char('/') + entry.name);
            if (QFileInfo(staged).isSymLink() || target.isSymLink()) {
                error = QStringLiteral("%1 is a link").arg(entry.name);
                return false;
            }
            if (target.exists() && !target.isFile()) {
                error = QStringLiteral("%1 is not a file").arg(entry.name);
                return false;
            }
            if (!QFileInfo(staged).isFile() || !UpdateManifest::fileMatches(staged, entry)) {
                error = QStringLiteral("%1 is missing or incomplete").arg(entry.name);
                return false;
            }
            names.append(entry.name);
        }
        if (names.isEmpty()) {
            error = QStringLiteral("nothing to install");
            return false;
        }
        return true;
    }

    bool moveIn(const QString &name, QString &error)
    {
        const QString target = dir + QLatin1Char('/') + name;
        const QString staged = staging + QLatin1Char('/') + name;
        Move move{target, QFileInfo::exists(target)};
        QFile::Permissions permissions;
        if (move.hadOld) {
            permissions = QFile::permissions(target);
            QFile::remove(asideName(target)); // left by an earlier update
            if (!QFile::rename(target, asideName(target))) {
                error = QStringLiteral("cannot move %1 aside").arg(name);
                return false;
            }
        }
        if (!QFile::rename(staged, target)) {
            error = QStringLiteral("cannot move %1 into place").arg(name);
            if (move.hadOld)
                QFile::rename(asideName(target), target);
            return false;
        }
        // The download is written as a plain file: an executable stays executable.
        if (move.hadOld)
            QFile::setPermissions(target, permissions);
        done.append(move);
        return true;
    }

    void rollBack()
    {
        for (auto it = done.crbegin(); it != done.crend(); ++it) {
            QFile::remove(it->target);
            if (it->hadOld)
                QFile::rename(asideName(it->target), it->target);
        }
        done.clear();
    }

    QString dir;
    QString staging;
    QList<Move> done;
};

void writeLog(const QString &dir, const QString &line)
{
    QFile log(dir + QLatin1Char('/') + updatehandover::logFileName());
    if (!log.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Text))
        return;
    QTextStream out(&log);
    // UTF-8 whatever the system's code page: the client's name on Windows is Chinese.
    out.setCodec("UTF-8");
    out << QDateTime::currentDateTime().toString(Qt::ISODate) << ' ' << line << '\n';
}

} // namespace

Result install(const QString &programDir, const QByteArray &publicKey)
{
    return Installer(programDir).run(publicKey);
}

QString run(const QString &programDir, qint64 clientPid, int waitMs, const QByteArray &publicKey,
            bool *started)
{
    Installer installer(programDir);
    QString outcome;
    if (clientPid > 0 && !waitForExit(clientPid, waitMs)) {
        outcome = updatehandover::refusedLine(
            installer.stagedVersion(), QStringLiteral("the client (pid %1) still runs after %2 ms")
                                           .arg(clientPid)
                                           .arg(waitMs));
    } else {
        const Result result = installer.run(publicKey);
        outcome = result.installed
                      ? updatehandover::installedLine(result.names)
                      : updatehandover::refusedLine(
                            result.version.isEmpty() ? installer.stagedVersion() : result.version,
                            result.error);
    }
    // A half-done update is never tried again: the next offer downloads afresh.
    installer.clearStaging();

    const QString client = programDir + QLatin1Char('/') + platform::clientExecutableName();
    const bool ok = QProcess::startDetached(client, {}, programDir);
    outcome += (ok ? QStringLiteral("; restarted %1") : QStringLiteral("; could not start %1"))
                   .arg(platform::clientExecutableName());
    writeLog(programDir, outcome);
    if (started)
        *started = ok;
    return outcome;
}

} // namespace tsyup
