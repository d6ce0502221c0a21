// The Windows side of the platform layer. It is compiled only on Windows (Q_OS_WIN); on every
// other system this file compiles to nothing and platform_linux.cpp provides the functions.
//
// Windows 7 is the oldest system Qt 5.15 runs on; asking for its API makes CancelIoEx visible
// to toolchains whose headers default to an older one. Set before the first system header.
#if defined(_WIN32) && (!defined(_WIN32_WINNT) || _WIN32_WINNT < 0x0601)
#undef _WIN32_WINNT
#define _WIN32_WINNT 0x0601
#endif
// windows.h (through platform.h) must not define min and max over the Qt headers that follow.
#if defined(_WIN32) && !defined(NOMINMAX)
#define NOMINMAX
#endif

#include "platform.h"
#include "platform_p.h"

#ifdef Q_OS_WIN

#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QStandardPaths>

#include <atomic>

// The order matters: winsock2.h before windows.h (which would pull in the old winsock.h),
// and dbghelp.h after windows.h, whose types it uses.
// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <dbghelp.h>
// clang-format on

namespace platform {

// ---------------------------------------------------------------- sockets

namespace {
std::atomic<int> libraryReferences{0};
// What closeSocketGracefully reads away at most before it closes (64 KiB each).
constexpr int GracefulDrainReads = 16;
} // namespace

bool socketLibraryStart()
{
    WSADATA data;
    if (WSAStartup(MAKEWORD(1, 1), &data) != 0)
        return false;
    if (LOBYTE(data.wVersion) != 1 || HIBYTE(data.wVersion) != 1) {
        WSACleanup();
        return false;
    }
    libraryReferences.fetch_add(1);
    return true;
}

void socketLibraryRelease()
{
    libraryReferences.fetch_sub(1);
    WSACleanup();
}

int socketLibraryReferences()
{
    return libraryReferences.load();
}

SOCKET openStreamSocket(int family, int type, int protocol)
{
    const SOCKET s = ::socket(family, type, protocol);
    if (s == INVALID_SOCKET)
        return InvalidSocket;
    // Programs we start (the updater, taskkill, a restarted client) must not inherit relay
    // connections and keep them open after we close them.
    SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
    return s;
}

bool connectStreamSocket(SOCKET s, const sockaddr *address, int length)
{
    return ::connect(s, address, length) == 0;
}

QString lastSocketError()
{
    const int code = WSAGetLastError();
    wchar_t *text = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, static_cast<DWORD>(code), 0, reinterpret_cast<wchar_t *>(&text), 0, nullptr);
    QString message = length ? QString::fromWCharArray(text, int(length)).trimmed()
                             : QStringLiteral("Winsock error %1").arg(code);
    LocalFree(text);
    return message;
}

void setNoDelay(SOCKET s)
{
    const BOOL one = TRUE;
    ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char *>(&one),
                 static_cast<int>(sizeof one));
}

int sendAll(SOCKET s, const char *data, int length)
{
    if (s == InvalidSocket)
        return SocketError;
    int done = 0;
    while (done < length) {
        const int n = ::send(s, data + done, length - done, 0);
        if (n == SOCKET_ERROR || n <= 0)
            return SocketError;
        done += n;
    }
    return length;
}

int recvSome(SOCKET s, char *buffer, int length)
{
    if (s == InvalidSocket)
        return SocketError;
    const int n = ::recv(s, buffer, length, 0);
    return n == SOCKET_ERROR ? SocketError : n;
}

void shutdownSend(SOCKET s)
{
    if (s != InvalidSocket)
        ::shutdown(s, SD_SEND);
}

void abortSocket(SOCKET s)
{
    if (s == InvalidSocket)
        return;
    linger reset{};
    reset.l_onoff = 1;
    reset.l_linger = 0;
    ::setsockopt(s, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char *>(&reset),
                 static_cast<int>(sizeof reset));
    ::closesocket(s);
}

void closeSocketGracefully(SOCKET s)
{
    if (s == InvalidSocket)
        return;
    // Bounded: a peer that keeps sending gets its reset after this much.
    u_long nonBlocking = 1;
    ::ioctlsocket(s, FIONBIO, &nonBlocking);
    char sink[65536];
    for (int i = 0; i < GracefulDrainReads; ++i) {
        if (::recv(s, sink, static_cast<int>(sizeof sink), 0) <= 0)
            break;
    }
    ::closesocket(s);
}

int unacknowledgedBytes(SOCKET)
{
    // Not told by Winsock 1.1: a close then waits for nothing.
    return 0;
}

void interruptReceive(SOCKET s)
{
    if (s == InvalidSocket)
        return;
    ::shutdown(s, SD_RECEIVE);
    // A shutdown alone does not reliably end a recv that another thread is blocked in; cancelling
    // the socket's pending I/O does (a blocked send as well), and the handle stays valid until its
    // single close.
    CancelIoEx(reinterpret_cast<HANDLE>(s), nullptr);
}

void closeSocket(SOCKET s)
{
    if (s != InvalidSocket)
        ::closesocket(s);
}

void sleepMs(int ms)
{
    Sleep(ms > 0 ? static_cast<DWORD>(ms) : 0);
}

// ---------------------------------------------------------------- relay threads

namespace {

struct ThreadStart
{
    void (*entry)(void *);
    void *argument;
};

DWORD WINAPI threadMain(LPVOID p)
{
    const ThreadStart start = *static_cast<ThreadStart *>(p);
    delete static_cast<ThreadStart *>(p);
    start.entry(start.argument);
    return 0;
}

} // namespace

bool startThread(void (*entry)(void *), void *argument, size_t stackBytes)
{
    auto *start = new ThreadStart{entry, argument};
    const HANDLE thread = CreateThread(nullptr, stackBytes, threadMain, start,
                                       STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    if (!thread) {
        delete start;
        return false;
    }
    CloseHandle(thread);
    return true;
}

void lowerCurrentThreadPriority()
{
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_BELOW_NORMAL);
}

// ---------------------------------------------------------------- open files

int raiseOpenFileLimit()
{
    // Winsock handles are not counted against the C runtime's table of open files.
    return -1;
}

int openFileLimit()
{
    return -1;
}

// ---------------------------------------------------------------- crash reports

namespace {

CrashNotifier crashNotifier = nullptr;
std::atomic<bool> crashing{false};

// The heap may be what broke: the dump name is built on the stack.
size_t appendText(wchar_t *out, size_t pos, size_t cap, const wchar_t *text)
{
    while (*text && pos + 1 < cap)
        out[pos++] = *text++;
    out[pos] = L'\0';
    return pos;
}

size_t appendNumber(wchar_t *out, size_t pos, size_t cap, unsigned value, int width)
{
    wchar_t digits[16];
    int n = 0;
    do {
        digits[n++] = wchar_t(L'0' + value % 10);
        value /= 10;
    } while (value && n < 15);
    while (n < width && n < 15)
        digits[n++] = L'0';
    while (n > 0 && pos + 1 < cap)
        out[pos++] = digits[--n];
    out[pos] = L'\0';
    return pos;
}

// "HH时mm分ss秒zzz.dmp" in local time. The characters are escaped so that the name does not
// depend on the code page the compiler reads this file in.
void dumpName(wchar_t *out, size_t cap)
{
    SYSTEMTIME now;
    GetLocalTime(&now);
    size_t pos = 0;
    out[0] = L'\0';
    pos = appendNumber(out, pos, cap, now.wHour, 2);
    pos = appendText(out, pos, cap, L"\u65f6");
    pos = appendNumber(out, pos, cap, now.wMinute, 2);
    pos = appendText(out, pos, cap, L"\u5206");
    pos = appendNumber(out, pos, cap, now.wSecond, 2);
    pos = appendText(out, pos, cap, L"\u79d2");
    pos = appendNumber(out, pos, cap, now.wMilliseconds, 3);
    appendText(out, pos, cap, L".dmp");
}

LONG WINAPI crashFilter(EXCEPTION_POINTERS *pointers)
{
    // A second fault (another thread, or inside this filter): end the process at once.
    if (crashing.exchange(true))
        return EXCEPTION_EXECUTE_HANDLER;

    wchar_t name[64];
    dumpName(name, sizeof name / sizeof name[0]);
    const HANDLE file =
        CreateFileW(name, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        MINIDUMP_EXCEPTION_INFORMATION exception;
        exception.ThreadId = GetCurrentThreadId();
        exception.ExceptionPointers = pointers;
        exception.ClientPointers = TRUE;
        MiniDumpWriteDump(GetCurrentProcess(), GetCurrentProcessId(), file, MiniDumpNormal,
                          &exception, nullptr, nullptr);
        CloseHandle(file);
    }

    if (crashNotifier) {
        unsigned long code = 0;
        unsigned long long address = 0;
        if (pointers && pointers->ExceptionRecord) {
            code = pointers->ExceptionRecord->ExceptionCode;
            address =
                reinterpret_cast<unsigned long long>(pointers->ExceptionRecord->ExceptionAddress);
        }
        crashNotifier(code, address);
    }
    return EXCEPTION_EXECUTE_HANDLER;
}

} // namespace

QString crashDumpName()
{
    wchar_t name[64];
    dumpName(name, sizeof name / sizeof name[0]);
    return QString::fromWCharArray(name);
}

void installCrashHandler(CrashNotifier notifier)
{
    crashNotifier = notifier;
    SetUnhandledExceptionFilter(crashFilter);
}

void crashReportShown()
{
    // The filter runs its notifier without a watchdog here: nothing to disarm.
}

// ---------------------------------------------------------------- autostart and shortcut

namespace {

QString runKey()
{
    return QStringLiteral("HKEY_CURRENT_USER\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run");
}

} // namespace

QString autostartValue(const QString &appName)
{
    const QSettings run(runKey(), QSettings::NativeFormat);
    return run.value(appName).toString();
}

void setAutostartValue(const QString &appName, const QString &command)
{
    QSettings run(runKey(), QSettings::NativeFormat);
    run.setValue(appName, command);
    run.sync();
}

void createDesktopShortcut(const QString &linkName, const QString &target)
{
    const QString dir = QStandardPaths::writableLocation(QStandardPaths::DesktopLocation);
    if (dir.isEmpty())
        return;
    const QString path = dir + QLatin1Char('/') + linkName + QStringLiteral(".lnk");
    if (QFileInfo::exists(path))
        return;
    // On Windows QFile::link makes a shell link (.lnk) through the shell's own interface.
    QFile::link(target, path);
}

// ---------------------------------------------------------------- processes

void killProcessesByName(const QString &name)
{
    const QStringList arguments{QStringLiteral("/f"), QStringLiteral("/t"), QStringLiteral("/im"),
                                name};
    runProcess(QStringLiteral("taskkill"), arguments);
}

QString clientExecutableName()
{
    return QStringLiteral("Borvane内网穿透.exe");
}

QString updaterExecutableName()
{
    return QStringLiteral("tsy_up.exe");
}

} // namespace platform

#endif // Q_OS_WIN
