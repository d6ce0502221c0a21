#pragma once

#include <QString>

// The settings file: config/main.ini beside the executable, every key under [setting].
// There is no long-lived settings object: each call opens the file and lets it go.
QString settingsFilePath();
QString settingsDirPath();

// key is a full key such as "/setting/token"; absent keys read as the empty string.
QString readSetting(const QString &key);

// Writes "/setting/" + name. The file holds a password and tokens, so on Unix the
// directory is kept at 0700 and the file at 0600 whenever it is written.
void writeSetting(const QString &name, const QString &value);

// Tightens the permissions of the settings directory and file (no-op where absent).
void protectSettingsFile();

// Where the programs of this folder (the client and the agent) keep a lock file per running
// tunnel: config/locks.
QString tunnelLockFolder();
