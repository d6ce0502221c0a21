// tsy_up: the update program the updater starts beside the client before the client ends. It
// waits for the client to go, moves the staged files of the update folder into the program's
// directory, starts the client again and writes one line of what it did to tsy_up.log. Whatever
// fails, the installed client is left whole and started.
#include "core/updatemanifest.h"
#include "platform/platform.h"

#include <QCoreApplication>
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

namespace {

// The client ends right after starting us; one that is still there after this is stuck.
constexpr int ClientExitWaitMs = 10000;
constexpr int ClientExitPollMs = 100;

QString stagingName()
{
    return QStringLiteral("update");
}

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

// Puts the staged files in place. Each installed file is first renamed aside (a running
// program may be renamed, not overwritten, on Windows), then the staged file is renamed in:
// renames within one folder are whole, so the target is always either the old or the new file.
// On any failure the files moved so far go back.
class Installer
{
public:
    Installer(const QString &programDir)
        : dir(programDir), staging(programDir + QLatin1Char('/') + stagingName())
    {
    }

    bool run(QStringList &installed, QString &error)
    {
        QStringList names;
        if (!pick(names, error))
            return false;
        for (const QString &name : names) {
            if (!moveIn(name, error)) {
                rollBack();
                return false;
            }
            installed.append(name);
        }
        // The old files are no longer needed; a program still running from one (our own old
        // copy on Windows) keeps it until the next update clears it.
        for (const Move &move : done)
            if (move.hadOld)
                QFile::remove(asideName(move.target));
        return true;
    }

    void clearStaging() { QDir(staging).removeRecursively(); }

private:
    // With the updater's copy of the checked manifest, exactly the listed files and only when
    // every one is there as it was checked; without one (a build that does not verify
    // updates), every staged file.
    bool pick(QStringList &names, QString &error)
    {
        const QString manifestPath = staging + QLatin1Char('/') + UpdateManifest::fileName();
        if (QFile::exists(manifestPath)) {
            QFile file(manifestPath);
            if (!file.open(QIODevice::ReadOnly)) {
                error = QStringLiteral("cannot read %1").arg(manifestPath);
                return false;
            }
            const auto manifest = UpdateManifest::parse(file.readAll(), &error);
            if (!manifest)
                return false;
            for (const UpdateManifest::File &entry : manifest->files) {
                if (!UpdateManifest::fileMatches(staging + QLatin1Char('/') + entry.name, entry)) {
                    error = QStringLiteral("%1 is missing or incomplete").arg(entry.name);
                    return false;
                }
                names.append(entry.name);
            }
        } else {
            names = QDir(staging).entryList(QDir::Files | QDir::Hidden, QDir::Name);
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
        Move move{target, QFileInfo::exists(target) || QFileInfo(target).isSymLink()};
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
    QFile log(dir + QStringLiteral("/tsy_up.log"));
    if (!log.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Text))
        return;
    QTextStream out(&log);
    // UTF-8 whatever the system's code page: the client's name on Windows is Chinese.
    out.setCodec("UTF-8");
    out << QDateTime::currentDateTime().toString(Qt::ISODate) << ' ' << line << '\n';
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QString dir = QCoreApplication::applicationDirPath();

    // The updater names itself in our environment; started by hand there is nothing to wait for.
    bool ok = false;
    const qint64 clientPid = qEnvironmentVariableIntValue("BORVANE_CLIENT_PID", &ok);
    int waitMs = ClientExitWaitMs;
    if (qEnvironmentVariableIsSet("BORVANE_UPDATER_WAIT_MS"))
        waitMs =
            qBound(0, qEnvironmentVariableIntValue("BORVANE_UPDATER_WAIT_MS"), ClientExitWaitMs);

    QString outcome;
    Installer installer(dir);
    if (ok && clientPid > 0 && !waitForExit(clientPid, waitMs)) {
        outcome = QStringLiteral("update not installed: the client (pid %1) still runs after %2 ms")
                      .arg(clientPid)
                      .arg(waitMs);
    } else {
        QStringList installed;
        QString error;
        if (installer.run(installed, error))
            outcome = QStringLiteral("installed %1").arg(installed.join(QStringLiteral(", ")));
        else
            outcome = QStringLiteral("update not installed: %1").arg(error);
    }
    // A half-done update is never tried again: the next offer downloads afresh.
    installer.clearStaging();

    const QString client = dir + QLatin1Char('/') + platform::clientExecutableName();
    const bool started = QProcess::startDetached(client, {}, dir);
    writeLog(dir, outcome + (started ? QStringLiteral("; restarted %1")
                                     : QStringLiteral("; could not start %1"))
                                .arg(platform::clientExecutableName()));
    return started ? 0 : 1;
}
