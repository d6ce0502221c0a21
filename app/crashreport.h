#pragma once

#include <QString>

// The rich text of the "程序崩溃" box: code and address in lowercase hex, no prefix or padding.
QString crashReportText(unsigned long code, unsigned long long address);

// Installs the crash handler of the platform layer with the "程序崩溃" box as its notifier.
void installClientCrashHandler();
