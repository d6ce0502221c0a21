#include "tunnellock.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QLockFile>

TunnelLock::TunnelLock(const QString &folder, const QString &domain) : tunnelDomain(domain)
{
    if (!folder.isEmpty()) {
        path = filePath(folder, domain);
        file = std::make_unique<QLockFile>(path);
        // Only a dead holder makes a lock stale: a tunnel may run for months.
        file->setStaleLockTime(0);
    }
}

TunnelLock::~TunnelLock() = default;

QString TunnelLock::filePath(const QString &folder, const QString &domain)
{
    QString name = domain;
    for (QChar &c : name) {
        if (!(c.isLetterOrNumber() && c.unicode() < 128) && c != QLatin1Char('.') &&
            c != QLatin1Char('-') && c != QLatin1Char('_'))
            c = QLatin1Char('_');
    }
    if (name.isEmpty() || name.startsWith(QLatin1Char('.')))
        name.prepend(QLatin1Char('_'));
    return folder + QLatin1Char('/') + name + QStringLiteral(".lock");
}

QString TunnelLock::heldText(const QString &holder)
{
    return QStringLiteral("该隧道已在本机的%1中运行，同一隧道不能同时在两处启动，请先在那里停止")
        .arg(holder);
}

bool TunnelLock::acquire()
{
    otherHolder.clear();
    if (!file || file->isLocked())
        return true;
    QDir().mkpath(QFileInfo(path).path());
    if (file->tryLock(0))
        return true;
    if (file->error() != QLockFile::LockFailedError) {
        qWarning() << "TunnelLock 无法建立锁文件，不加锁运行" << path;
        return true;
    }
    qint64 pid = 0;
    QString host;
    QString program;
    if (file->getLockInfo(&pid, &host, &program))
        otherHolder = QStringLiteral("%1（进程 %2）").arg(program).arg(pid);
    else
        otherHolder = QStringLiteral("另一个程序");
    return false;
}

void TunnelLock::release()
{
    if (file)
        file->unlock();
}

QString TunnelLock::holder() const
{
    return otherHolder;
}
