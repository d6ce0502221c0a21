#include "app/crashreport.h"
#include "app/globals.h"
#include "app/logging.h"
#include "app/settings.h"
#include "ui/mainwindow.h"

#include <QApplication>
#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QFont>
#include <QFontDatabase>
#include <QSettings>
#include <QUuid>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    app.setStyleSheet(QStringLiteral("*{outline:0px;}"));
    // Tunnels keep running with every window hidden; the tray icon keeps them reachable.
    app.setQuitOnLastWindowClosed(false);

    logFileStamp = QDateTime::currentDateTime().toString(QStringLiteral("yyyy_MM_dd_hh_mm_ss"));
    clientUuid = QUuid::createUuid().toString();

    if (!QFileInfo(QStringLiteral("./logs")).isFile())
        QDir().mkpath(QStringLiteral("./logs"));
    qInstallMessageHandler(logMessageHandler);
    installClientCrashHandler();

    qDebug().noquote() << "AppRunPath：" << QString::fromUtf8(argv[0]);

    const QString settingsPath = settingsFilePath();
    if (QFileInfo(settingsPath).isFile()) {
        QSettings settings(settingsPath, QSettings::IniFormat);
        currentToken = settings.value(QStringLiteral("/setting/token")).toString();
        protectSettingsFile();
    } else {
        QDir().mkpath(settingsDirPath());
        protectSettingsFile();
    }

    const int fontId = QFontDatabase::addApplicationFont(QStringLiteral(":/img/img/font.otf"));
    const QStringList families = QFontDatabase::applicationFontFamilies(fontId);
    if (families.isEmpty())
        qDebug() << "Failed to load font.";
    else
        app.setFont(QFont(families.first()));

    MainWindow w;
    w.show();
    return app.exec();
}
