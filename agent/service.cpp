#include "service.h"

#include "agent/console.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>

namespace service {

QString unitText(const QString &programDir, const QString &userName, bool userUnit)
{
    QFile file(QStringLiteral(":/agent/borvane-agent.service"));
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    QStringList lines;
    for (const QString &line : QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'))) {
        // A user's own manager runs the agent as that user already.
        if (userUnit && line.startsWith(QStringLiteral("User=")))
            continue;
        lines.append(line);
    }
    QString text = lines.join(QLatin1Char('\n'));
    text.replace(QStringLiteral("@PROGRAM_DIR@"), programDir);
    text.replace(QStringLiteral("@USER@"), userName);
    text.replace(QStringLiteral("@TARGET@"),
                 userUnit ? QStringLiteral("default.target") : QStringLiteral("multi-user.target"));
    return text;
}

QString unitPath(bool userUnit)
{
    const QString name = QStringLiteral("/borvane-agent.service");
    if (!userUnit)
        return QStringLiteral("/etc/systemd/system") + name;
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QStringLiteral("/systemd/user") + name;
}

#ifndef Q_OS_WIN

namespace {

QString systemctl(bool userUnit)
{
    return userUnit ? QStringLiteral("systemctl --user") : QStringLiteral("systemctl");
}

} // namespace

int install(bool userUnit, bool printOnly)
{
    const QString programDir = QCoreApplication::applicationDirPath();
    // systemd splits nothing inside quotes, but a newline or a quote would end the line.
    if (programDir.contains(QLatin1Char('"')) || programDir.contains(QLatin1Char('\n')) ||
        programDir.contains(QLatin1Char('%'))) {
        console::error(QStringLiteral("the program folder's name cannot go into a unit: ") +
                       programDir);
        return console::SystemError;
    }
    // The settings are the folder owner's (config/ is kept private to them): the system
    // service runs as that user, not as whoever ran this command (root, under sudo).
    const QString owner = QFileInfo(programDir).owner();
    const QString text = unitText(programDir, owner, userUnit);
    if (printOnly) {
        console::out(text);
        return console::Ok;
    }
    const QString path = unitPath(userUnit);
    QDir().mkpath(QFileInfo(path).path());
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(text.toUtf8()) < 0 || !file.commit()) {
        console::error(
            QStringLiteral("cannot write %1: %2%3")
                .arg(path, file.errorString(),
                     userUnit ? QString() : QStringLiteral(" (run it with sudo, or use --user)")));
        return console::SystemError;
    }
    console::out(QStringLiteral("written: ") + path);
    console::out(QStringLiteral("start it with: %1 daemon-reload && %1 enable --now borvane-agent")
                     .arg(systemctl(userUnit)));
    if (userUnit)
        console::out(QStringLiteral("to keep it running while you are logged out: "
                                    "loginctl enable-linger %1")
                         .arg(owner));
    return console::Ok;
}

int uninstall(bool userUnit)
{
    const QString path = unitPath(userUnit);
    if (!QFileInfo::exists(path)) {
        console::error(QStringLiteral("no unit at %1").arg(path));
        return console::Usage;
    }
    if (!QFile::remove(path)) {
        console::error(
            QStringLiteral("cannot remove %1%2")
                .arg(path, userUnit ? QString() : QStringLiteral(" (run it with sudo)")));
        return console::SystemError;
    }
    console::out(QStringLiteral("removed: ") + path);
    console::out(QStringLiteral("if it was running: %1 disable --now borvane-agent && "
                                "%1 daemon-reload")
                     .arg(systemctl(userUnit)));
    return console::Ok;
}

int runAsService(const std::function<int()> &)
{
    console::error(QStringLiteral("\"service\" is for Windows; on Linux systemd runs "
                                  "\"borvane-agent run\""));
    return console::Usage;
}

#endif

} // namespace service
