#pragma once

#include <QString>
#include <QtGlobal>

// Appends every message of the debug stream as one line to ./logs/<logFileStamp>.log.
void logMessageHandler(QtMsgType type, const QMessageLogContext &context, const QString &message);

// The line the handler writes for one message, CR LF included (exposed for tests).
QString formatLogLine(QtMsgType type, const QMessageLogContext &context, const QString &message);

QString logFilePath();

// How much the run logs in ./logs may hold, so that logging can never fill a disk.
struct LogFolderLimits
{
    static constexpr int DefaultMaxAgeDays = 30;
    static constexpr qint64 DefaultMaxTotalBytes = 200LL * 1024 * 1024;

    int maxAgeDays = DefaultMaxAgeDays;
    qint64 maxTotalBytes = DefaultMaxTotalBytes;
};

// Run at start, once the run's stamp is known: removes the run logs of earlier runs that were
// last written more than maxAgeDays ago, then the oldest ones until all of them, this run's file
// included, fit in maxTotalBytes. This run's file is never removed, and nothing but run logs is
// touched. For the rest of the run the handler keeps to maxTotalBytes as well: it removes the
// oldest earlier logs when this run's file needs their room, and drops a line that does not fit.
void trimLogFolder(const LogFolderLimits &limits = LogFolderLimits());
