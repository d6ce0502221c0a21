#pragma once

#include <QString>

class QApplication;

// The start-up steps between the application object and the first window, in their order.
// Split into steps so that each can be checked on its own; startUp runs them all.
void startUp(QApplication &app, const QString &programPath);

// logFileStamp from the local time, and a new clientUuid for this run.
void initRunValues();
// ./logs in the working directory, unless a regular file of that name is in the way.
void ensureLogDirectory();
// The log handler, then the crash handler with the "程序崩溃" box.
void installHandlers();
// A build without a release key says so: in the log, and as the application's display name,
// which the desktop shows beside each window's title.
void announceDevelopmentBuild(QApplication &app);
inline QString developmentBuildName()
{
    return QStringLiteral("Borvane 开发版（更新未验证）");
}
// currentToken from config/main.ini; on a first run, the config directory instead.
void restoreSavedToken();
// The local status API runs unless "/setting/statusApi" is "false".
bool statusApiEnabled();
// The embedded font as the application font; the default font when it cannot be loaded.
void loadEmbeddedFont(QApplication &app);
