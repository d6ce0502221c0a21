#include "startup.h"

#include "crashreport.h"

#include "core/globals.h"
#include "core/logging.h"
#include "core/settings.h"
#include "core/updatemanifest.h"
#include "platform/platform.h"

#include <QApplication>
#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QFont>
#include <QFontDatabase>
#include <QSettings>
#include <QUuid>

void initRunValues()
{
    logFileStamp = QDateTime::currentDateTime().toString(QStringLiteral("yyyy_MM_dd_hh_mm_ss"));
    clientUuid = QUuid::createUuid().toString();
}

void ensureLogDirectory()
{
    if (!QFileInfo(QStringLiteral("./logs")).isFile())
        QDir().mkpath(QStringLiteral("./logs"));
}

void installHandlers()
{
    qInstallMessageHandler(logMessageHandler);
    installClientCrashHandler();
}

void restoreSavedToken()
{
    const QString settingsPath = settingsFilePath();
    if (QFileInfo(settingsPath).isFile()) {
        QSettings settings(settingsPath, QSettings::IniFormat);
        currentToken = settings.value(QStringLiteral("/setting/token")).toString();
        protectSettingsFile();
    } else {
        QDir().mkpath(settingsDirPath());
        protectSettingsFile();
    }
}

bool statusApiEnabled()
{
    return readSetting(QStringLiteral("/setting/statusApi")) != QLatin1String("false");
}

void loadEmbeddedFont(QApplication &app)
{
    const int fontId = QFontDatabase::addApplicationFont(QStringLiteral(":/img/img/font.otf"));
    const QStringList families = QFontDatabase::applicationFontFamilies(fontId);
    if (families.isEmpty())
        qDebug() << "Failed to load font.";
    else
        app.setFont(QFont(families.first()));
}

void announceDevelopmentBuild(QApplication &app)
{
    if (!UpdateManifest::builtInKey().isEmpty())
        return;
    // Built without a release key: whatever an update offer names would be installed. The
    // name goes beside every window's title on the desktop, not into the titles themselves.
    qDebug() << "development build: updates unverified";
    app.setApplicationDisplayName(developmentBuildName());
}

void startUp(QApplication &app, const QString &programPath)
{
    // Every data connection holds two sockets: a desktop session's usual soft limit of 1024 open
    // files would end the relay (and the whole program) before 500 of them.
    platform::raiseOpenFileLimit();
    initRunValues();
    ensureLogDirectory();
    trimLogFolder();
    installHandlers();
    qDebug().noquote() << "AppRunPath：" << programPath;
    announceDevelopmentBuild(app);
    restoreSavedToken();
    loadEmbeddedFont(app);
}
