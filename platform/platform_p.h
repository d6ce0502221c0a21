#pragma once

// Shared by the operating-system sources of the platform layer; not for other callers.

#include <QString>
#include <QStringList>

namespace platform {

// Runs a command to completion through the environment's process runner; returns its exit code.
int runProcess(const QString &program, const QStringList &arguments);

} // namespace platform
