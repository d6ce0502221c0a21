#include "logging.h"

#include "globals.h"

#include <QDateTime>
#include <QFile>
#include <QMutex>
#include <QTextStream>

namespace {

QMutex &logMutex()
{
    static QMutex mutex; // created on first use, never recursive
    return mutex;
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

void logMessageHandler(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (insideHandler)
        return;
    insideHandler = true;
    {
        QMutexLocker locker(&logMutex());
        const QString line = formatLogLine(type, context, message);
        QFile file(logFilePath());
        // A file that cannot be opened loses the line; nothing waits and nothing is logged.
        if (file.open(QIODevice::WriteOnly | QIODevice::Append)) {
            QTextStream stream(&file);
            stream << line;
            stream.flush();
            file.close();
        }
    }
    insideHandler = false;
}
