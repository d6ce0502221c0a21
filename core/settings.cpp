#include "settings.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>

QString settingsDirPath()
{
    return QDir::toNativeSeparators(QCoreApplication::applicationDirPath()) +
           QStringLiteral("/config");
}

QString settingsFilePath()
{
    return settingsDirPath() + QStringLiteral("/main.ini");
}

QString tunnelLockFolder()
{
    return settingsDirPath() + QStringLiteral("/locks");
}

QString readSetting(const QString &key)
{
    QSettings settings(settingsFilePath(), QSettings::IniFormat);
    return settings.value(key, QString()).toString();
}

void protectSettingsFile()
{
#ifndef Q_OS_WIN
    const QString dir = settingsDirPath();
    if (QFileInfo(dir).isDir())
        QFile::setPermissions(dir, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    const QString file = settingsFilePath();
    if (QFileInfo(file).isFile())
        QFile::setPermissions(file, QFile::ReadOwner | QFile::WriteOwner);
#endif
}

void writeSetting(const QString &name, const QString &value)
{
    QDir().mkpath(settingsDirPath());
    // The directory first, so the file is never readable by others, even while it is new.
    protectSettingsFile();
    {
        QSettings settings(settingsFilePath(), QSettings::IniFormat);
        settings.setValue(QStringLiteral("/setting/") + name, value);
        settings.sync();
    }
    protectSettingsFile();
}
