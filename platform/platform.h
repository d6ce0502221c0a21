#pragma once

// The few operating-system services the client needs, one function each.
// The Linux implementation is the one built and tested; Windows gets its own source.

#include <QString>
#include <QStringList>

#include <cstddef>

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

// One socket library reference, held for as long as the holder lives.
class SocketLibrary
{
public:
    // Starts the library, or adopts a reference the caller already holds.
    enum Start { Acquire, Adopt };
    explicit SocketLibrary(Start start = Acquire) : held(start == Adopt || socketLibraryStart()) {}
    ~SocketLibrary()
    {
        if (held)
            socketLibraryRelease();
    }
    SocketLibrary(const SocketLibrary &) = delete;
    SocketLibrary &operator=(const SocketLibrary &) = delete;
    bool isStarted() const { return held; }

private:
    const bool held;
};

// Connects a blocking TCP socket to host:port, resolving names (IPv4 and IPv6).
// Returns the connected socket, or InvalidSocket and, in error, the system's word on why.
SOCKET connectTcp(const QString &host, int port, QString *error = nullptr);
// Sends every byte unless the connection fails; returns length, or SocketError.
int sendAll(SOCKET s, const char *data, int length);
int recvSome(SOCKET s, char *buffer, int length);
// Wakes a thread blocked in recv on s (on Windows, in send as well) and puts nothing on the
// wire: no end of stream reaches the peer ahead of the reset that follows.
void interruptReceive(SOCKET s);
// Ends our sending side: the peer reads everything sent so far, then the end of the stream.
void shutdownSend(SOCKET s);
void closeSocket(SOCKET s);
// Closes with a reset: a peer still sending learns at once that nobody reads any more, instead
// of blocking on a connection that will never drain. Bytes not yet sent are dropped.
void abortSocket(SOCKET s);
// Closes after reading away what the peer has already sent, so that the close does not turn
// into a reset that would drop the bytes still on their way to the peer.
void closeSocketGracefully(SOCKET s);
// Bytes we sent on s that the peer has not acknowledged yet; 0 where the system does not say.
int unacknowledgedBytes(SOCKET s);
void sleepMs(int ms);

// ---- Relay threads ----
// Starts a detached thread with its own stack size. No event loop or dispatcher comes with it,
// so it costs no file descriptor. False when the system has no thread to give.
bool startThread(void (*entry)(void *), void *argument, size_t stackBytes);
// Relay threads yield the processor to the GUI thread: their throughput is bound by the
// forwarding pause, not by the processor.
void lowerCurrentThreadPriority();

// ---- Open files ----
// Raises the soft limit on open files to the hard limit where the system allows it (a desktop
// session's soft limit of 1024 is less than 500 data connections need); returns the limit in
// force afterwards, or -1 where there is none to speak of (Windows sockets are not counted).
int raiseOpenFileLimit();
// The soft limit in force now, or -1 where there is none.
int openFileLimit();

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
