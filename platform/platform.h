#pragma once

// The few operating-system services the client needs, one function each.
// The Linux implementation is the one built and tested; Windows gets its own source.

#include <QString>
#include <QStringList>

#ifdef Q_OS_WIN
#ifndef NOMINMAX
#define NOMINMAX // keep windows.h from turning min and max into macros over Qt's headers
#endif
#include <winsock2.h>
#else
using SOCKET = int;
#endif

namespace platform {

// ---- Blocking sockets of the data relay ----
#ifdef Q_OS_WIN
constexpr SOCKET InvalidSocket = INVALID_SOCKET;
#else
// Never 0: descriptor 0 is standard input and must not be used or closed.
constexpr SOCKET InvalidSocket = -1;
#endif
constexpr int SocketError = -1;

// One reference on the socket library per successful call (WSAStartup on Windows).
bool socketLibraryStart();
void socketLibraryRelease();
int socketLibraryReferences(); // for tests: references currently held

// Connects a blocking TCP socket to host:port, resolving names (IPv4 and IPv6).
// Returns the connected socket, or InvalidSocket.
SOCKET connectTcp(const QString &host, int port);
int sendAll(SOCKET s, const char *data, int length); // one send call, flags 0
int recvSome(SOCKET s, char *buffer, int length);
void shutdownSocket(SOCKET s); // both directions; wakes a thread blocked in recv
void closeSocket(SOCKET s);
void sleepMs(int ms);

// ---- Crash reports ----
// The report shown to the user after the dump is written: code and address in lowercase hex.
using CrashNotifier = void (*)(unsigned long code, unsigned long long address);
// Installs handlers for fatal signals. On a crash: writes "HH时mm分ss秒zzz.dmp" in the working
// directory with async-signal-safe calls only, then calls notifier (which may be null), then
// ends the process with the default action of the signal.
void installCrashHandler(CrashNotifier notifier);
// The dump file name for the current local time (exposed for tests).
QString crashDumpName();
// A crash inside the allocator leaves its lock held, and a report box would then wait on it
// forever: a notifier that has not shown its report within this time ends with the process.
constexpr int CrashReportStartLimitSecs = 5;
// Called by the notifier once its report is on screen; from then on it may wait for the user.
void crashReportShown();

// ---- Autostart and desktop shortcut ----
// The stored autostart command for appName, empty when none.
QString autostartValue(const QString &appName);
void setAutostartValue(const QString &appName, const QString &command);
// Creates the desktop launcher linkName (e.g. "Borvane") pointing to target unless it exists.
void createDesktopShortcut(const QString &linkName, const QString &target);

// ---- Processes ----
// Ends every process whose executable name is exactly name (taskkill /f /t /im name).
// Runs through the environment's process runner, which tests replace so that nothing is killed.
void killProcessesByName(const QString &name);

// Starts a program detached, through the environment's starter.
bool startDetached(const QString &program, const QStringList &arguments);

// The window and browser services are declared in platform_gui.h: they are built with the
// widgets, not with this library.

// ---- Names of our executables ----
QString clientExecutableName();  // "borvane"
QString updaterExecutableName(); // "tsy_up"

} // namespace platform
