#pragma once

#include <QString>
#include <QtGlobal>

// Appends every message of the debug stream as one line to ./logs/<logFileStamp>.log.
void logMessageHandler(QtMsgType type, const QMessageLogContext &context, const QString &message);

// The line the handler writes for one message, CR LF included (exposed for tests).
QString formatLogLine(QtMsgType type, const QMessageLogContext &context, const QString &message);

QString logFilePath();
