#include "updatehandover.h"

#include <QFile>
#include <QRegularExpression>

namespace updatehandover {

namespace {

// Only the end of the log is read: it grows by a line per update.
constexpr qint64 LogTailBytes = 4096;

} // namespace

QString installedLine(const QStringList &names)
{
    return QStringLiteral("installed %1").arg(names.join(QStringLiteral(", ")));
}

QString refusedLine(const QString &version, const QString &reason)
{
    if (version.isEmpty())
        return QStringLiteral("update not installed: %1").arg(reason);
    return QStringLiteral("update %1 not installed: %2").arg(version, reason);
}

std::optional<Refusal> lastRefusal(const QString &programDir)
{
    QFile log(programDir + QLatin1Char('/') + logFileName());
    if (!log.open(QIODevice::ReadOnly))
        return std::nullopt;
    if (log.size() > LogTailBytes)
        log.seek(log.size() - LogTailBytes);
    const QList<QByteArray> lines = log.readAll().trimmed().split('\n');
    // "<time> update <version> not installed: <reason>; restarted <client>"
    static const QRegularExpression refused(
        QStringLiteral("^\\S+ update (\\S+) not installed: (.*); (restarted|could not start) "));
    const auto match = refused.match(QString::fromUtf8(lines.last()));
    if (!match.hasMatch())
        return std::nullopt;
    return Refusal{match.captured(1), match.captured(2)};
}

} // namespace updatehandover
