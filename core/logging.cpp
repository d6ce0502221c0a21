#include "logging.h"

#include "globals.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QMutex>
#include <QRegularExpression>

#include <algorithm>

namespace {

QMutex &logMutex()
{
    static QMutex mutex; // created on first use, never recursive
    return mutex;
}

// What the handler keeps between messages; guarded by the log lock.
struct FolderState
{
    qint64 maxTotalBytes = LogFolderLimits::DefaultMaxTotalBytes;
    qint64 earlierBytes = 0;   // the earlier runs' logs kept at start, less those removed since
    bool earlierStuck = false; // none of them could be removed: the folder is not listed again
    bool lineOpen = false;     // a write cut short left the file in the middle of a line
};

FolderState &folderState()
{
    static FolderState state;
    return state;
}

struct RunLog
{
    QString path;
    qint64 bytes;
    QDateTime modified;
};

// The logs of earlier runs in ./logs, oldest first. Only names a run gives its log are taken.
QList<RunLog> earlierRunLogs()
{
    static const QRegularExpression runLogName(
        QStringLiteral("^\\d{4}_\\d{2}_\\d{2}_\\d{2}_\\d{2}_\\d{2}\\.log$"));
    const QString current = logFileStamp + QStringLiteral(".log");
    QList<RunLog> logs;
    const QFileInfoList entries = QDir(QStringLiteral("./logs")).entryInfoList(QDir::Files);
    for (const QFileInfo &entry : entries) {
        if (entry.fileName() != current && runLogName.match(entry.fileName()).hasMatch())
            logs.append({entry.filePath(), entry.size(), entry.lastModified()});
    }
    std::sort(logs.begin(), logs.end(), [](const RunLog &a, const RunLog &b) {
        return a.modified != b.modified ? a.modified < b.modified : a.path < b.path;
    });
    return logs;
}

// Removes the oldest earlier logs until those left and currentBytes fit in the budget, or none is
// left; returns what the earlier logs hold afterwards. A file that cannot be removed still counts.
qint64 removeOldestUntilFit(const QList<RunLog> &logs, qint64 currentBytes, qint64 maxTotalBytes)
{
    qint64 earlier = 0;
    for (const RunLog &log : logs)
        earlier += log.bytes;
    for (const RunLog &log : logs) {
        if (earlier + currentBytes <= maxTotalBytes)
            break;
        if (QFile::remove(log.path))
            earlier -= log.bytes;
    }
    return earlier;
}

// Set while this thread holds the log lock: a message raised from inside the handler
// (by Qt's own file code, say) is dropped instead of deadlocking on the lock.
thread_local bool insideHandler = false;

QString levelWord(QtMsgType type)
{
    switch (type) {
    case QtDebugMsg:
        return QStringLiteral("Debug:");
    case QtWarningMsg:
        return QStringLiteral("Warning:");
    case QtCriticalMsg:
        return QStringLiteral("Critical:");
    case QtFatalMsg:
        return QStringLiteral("Fatal:");
    default:
        return QString();
    }
}

} // namespace

QString logFilePath()
{
    return QStringLiteral("./logs/") + logFileStamp + QStringLiteral(".log");
}

QString formatLogLine(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    // One pass: a "%1" inside the file name must not be taken for the line's placeholder.
    const QString contextField =
        QStringLiteral("File:(%1) Line:(%2)")
            .arg(QString::fromUtf8(context.file), QString::number(context.line));
    const QString timeField = QStringLiteral("(%1)").arg(
        QDateTime::currentDateTime().toString("yyyy-MM-dd hh:mm:ss ddd"));
    return levelWord(type) + ' ' + contextField + ' ' + message + ' ' + timeField +
           QStringLiteral("\r\n");
}

void trimLogFolder(const LogFolderLimits &limits)
{
    // Whatever the file code might report meanwhile must not wait on the lock held here.
    insideHandler = true;
    {
        QMutexLocker locker(&logMutex());
        FolderState &state = folderState();
        state.maxTotalBytes = limits.maxTotalBytes;
        const QDateTime oldest = QDateTime::currentDateTime().addDays(-limits.maxAgeDays);
        QList<RunLog> kept;
        for (const RunLog &log : earlierRunLogs()) {
            if (log.modified >= oldest || !QFile::remove(log.path))
                kept.append(log);
        }
        const qint64 currentBytes = QFileInfo(logFilePath()).size();
        state.earlierBytes = removeOldestUntilFit(kept, currentBytes, limits.maxTotalBytes);
        state.earlierStuck = false;
    }
    insideHandler = false;
}

void logMessageHandler(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (insideHandler)
        return;
    insideHandler = true;
    {
        QMutexLocker locker(&logMutex());
        FolderState &state = folderState();
        QByteArray bytes = formatLogLine(type, context, message).toLocal8Bit();
        if (state.lineOpen)
            bytes.prepend("\r\n");
        QFile file(logFilePath());
        // A file that cannot be opened loses the line; nothing waits and nothing is logged.
        if (file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered)) {
            const qint64 afterWrite = file.size() + bytes.size();
            // The folder is listed only while earlier logs can still make room.
            if (state.earlierBytes > 0 && !state.earlierStuck &&
                state.earlierBytes + afterWrite > state.maxTotalBytes) {
                const qint64 before = state.earlierBytes;
                state.earlierBytes =
                    removeOldestUntilFit(earlierRunLogs(), afterWrite, state.maxTotalBytes);
                state.earlierStuck = state.earlierBytes == before;
            }
            // A line past the budget is lost, like one that cannot be written.
            if (state.earlierBytes + afterWrite <= state.maxTotalBytes) {
                const qint64 written = file.write(bytes);
                // A full disk may take part of a line: the next one then begins on a line of
                // its own instead of being glued to the torn piece.
                if (written == bytes.size())
                    state.lineOpen = false;
                else if (written > 0)
                    state.lineOpen = true;
            }
            file.close();
        }
    }
    insideHandler = false;
}
