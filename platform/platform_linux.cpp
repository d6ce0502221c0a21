#include "platform.h"
#include "platform_p.h"

#ifndef Q_OS_WIN

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QTextStream>

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <ctime>
#include <execinfo.h>
#include <fcntl.h>
#include <limits.h>
#include <linux/sockios.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

namespace platform {

// ---------------------------------------------------------------- sockets

namespace {
std::atomic<int> libraryReferences{0};
// What closeSocketGracefully reads away at most before it closes (64 KiB each).
constexpr int GracefulDrainReads = 16;
constexpr int RelayThreadNice = 10;
// Enough for thousands of data connections; far below any kernel's ceiling.
constexpr rlim_t MaxOpenFiles = 65536;
} // namespace

bool socketLibraryStart()
{
    // BSD sockets need no start-up; the count keeps the start/release pairing checkable.
    libraryReferences.fetch_add(1);
    return true;
}

void socketLibraryRelease()
{
    libraryReferences.fetch_sub(1);
}

int socketLibraryReferences()
{
    return libraryReferences.load();
}

SOCKET openStreamSocket(int family, int type, int protocol)
{
    // Programs we start (the updater, a restarted client) must not inherit relay connections.
    const SOCKET s = ::socket(family, type | SOCK_CLOEXEC, protocol);
    return s < 0 ? InvalidSocket : s;
}

bool connectStreamSocket(SOCKET s, const sockaddr *address, int length)
{
    int rc;
    do {
        rc = ::connect(s, address, socklen_t(length));
    } while (rc != 0 && errno == EINTR);
    return rc == 0;
}

QString lastSocketError()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

void setNoDelay(SOCKET s)
{
    const int one = 1;
    ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

int sendAll(SOCKET s, const char *data, int length)
{
    if (s == InvalidSocket)
        return SocketError;
    int done = 0;
    while (done < length) {
        const ssize_t n = ::send(s, data + done, size_t(length - done), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return SocketError;
        done += int(n);
    }
    return length;
}

int recvSome(SOCKET s, char *buffer, int length)
{
    if (s == InvalidSocket)
        return SocketError;
    ssize_t n;
    do {
        n = ::recv(s, buffer, size_t(length), 0);
    } while (n < 0 && errno == EINTR);
    return n < 0 ? SocketError : int(n);
}

void interruptReceive(SOCKET s)
{
    // The receiving side only: Linux wakes a recv blocked on the socket and sends no FIN.
    if (s != InvalidSocket)
        ::shutdown(s, SHUT_RD);
}

void shutdownSend(SOCKET s)
{
    if (s != InvalidSocket)
        ::shutdown(s, SHUT_WR);
}

void closeSocket(SOCKET s)
{
    if (s != InvalidSocket)
        ::close(s);
}

void abortSocket(SOCKET s)
{
    if (s == InvalidSocket)
        return;
    const linger reset{1, 0};
    ::setsockopt(s, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    ::close(s);
}

void closeSocketGracefully(SOCKET s)
{
    if (s == InvalidSocket)
        return;
    // Bounded: a peer that keeps sending gets its reset after this much.
    char sink[65536];
    for (int i = 0; i < GracefulDrainReads; ++i) {
        const ssize_t n = ::recv(s, sink, sizeof sink, MSG_DONTWAIT);
        if (n <= 0 && !(n < 0 && errno == EINTR))
            break;
    }
    ::close(s);
}

int unacknowledgedBytes(SOCKET s)
{
    int queued = 0;
    if (s == InvalidSocket || ::ioctl(s, SIOCOUTQ, &queued) != 0)
        return 0;
    return queued;
}

void sleepMs(int ms)
{
    timespec ts{ms / 1000, long(ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

// ---------------------------------------------------------------- relay threads

bool startThread(void (*entry)(void *), void *argument, size_t stackBytes)
{
    pthread_attr_t attributes;
    if (pthread_attr_init(&attributes) != 0)
        return false;
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    pthread_attr_setstacksize(&attributes, std::max<size_t>(stackBytes, PTHREAD_STACK_MIN));
    pthread_t thread;
    const int rc = pthread_create(
        &thread, &attributes,
        [](void *p) -> void * {
            auto *start = static_cast<std::pair<void (*)(void *), void *> *>(p);
            const auto run = *start;
            delete start;
            run.first(run.second);
            return nullptr;
        },
        new std::pair<void (*)(void *), void *>(entry, argument));
    pthread_attr_destroy(&attributes);
    return rc == 0;
}

void lowerCurrentThreadPriority()
{
    thread_local bool lowered = false;
    if (!lowered) {
        lowered = true;
        setpriority(PRIO_PROCESS, id_t(syscall(SYS_gettid)), RelayThreadNice);
    }
}

// ---------------------------------------------------------------- open files

int raiseOpenFileLimit()
{
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return -1;
    if (limit.rlim_cur < limit.rlim_max) {
        rlimit raised = limit;
        // An unlimited hard limit still has the kernel's ceiling; asking past it fails.
        if (raised.rlim_max == RLIM_INFINITY || raised.rlim_max > MaxOpenFiles)
            raised.rlim_cur = std::max<rlim_t>(limit.rlim_cur, MaxOpenFiles);
        else
            raised.rlim_cur = raised.rlim_max;
        raised.rlim_max = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &raised);
    }
    return openFileLimit();
}

int openFileLimit()
{
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return -1;
    if (limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur > rlim_t(INT_MAX))
        return INT_MAX;
    return int(limit.rlim_cur);
}

// ---------------------------------------------------------------- crash reports

namespace {

CrashNotifier crashNotifier = nullptr;
long utcOffsetSeconds = 0; // taken at install time: localtime_r is not async-signal-safe
std::atomic<bool> crashing{false};
// The notifier runs a modal box (layout, fonts, painting) on this stack after a SIGSEGV:
// 64 KiB overflowed before the box appeared. Pages never touched cost nothing.
constexpr size_t AlternateStackBytes = 2 * 1024 * 1024;
char alternateStack[AlternateStackBytes];
const int fatalSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT};

size_t appendText(char *out, size_t pos, size_t cap, const char *text)
{
    while (*text && pos + 1 < cap)
        out[pos++] = *text++;
    out[pos] = '\0';
    return pos;
}

size_t appendNumber(char *out, size_t pos, size_t cap, unsigned long long value, unsigned base,
                    int width)
{
    char digits[32];
    int n = 0;
    do {
        digits[n++] = "0123456789abcdef"[value % base];
        value /= base;
    } while (value && n < 31);
    while (n < width && n < 31)
        digits[n++] = '0';
    while (n > 0 && pos + 1 < cap)
        out[pos++] = digits[--n];
    out[pos] = '\0';
    return pos;
}

// "HH时mm分ss秒zzz.dmp" from the wall clock, with async-signal-safe calls only.
void dumpName(char *out, size_t cap)
{
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    long long local = now.tv_sec + utcOffsetSeconds;
    long daySeconds = long(((local % 86400) + 86400) % 86400);
    size_t pos = 0;
    out[0] = '\0';
    pos = appendNumber(out, pos, cap, daySeconds / 3600, 10, 2);
    pos = appendText(out, pos, cap, "时");
    pos = appendNumber(out, pos, cap, (daySeconds / 60) % 60, 10, 2);
    pos = appendText(out, pos, cap, "分");
    pos = appendNumber(out, pos, cap, daySeconds % 60, 10, 2);
    pos = appendText(out, pos, cap, "秒");
    pos = appendNumber(out, pos, cap, now.tv_nsec / 1000000, 10, 3);
    appendText(out, pos, cap, ".dmp");
}

const char *signalName(int sig)
{
    switch (sig) {
    case SIGSEGV:
        return "SIGSEGV";
    case SIGBUS:
        return "SIGBUS";
    case SIGFPE:
        return "SIGFPE";
    case SIGILL:
        return "SIGILL";
    case SIGABRT:
        return "SIGABRT";
    default:
        return "signal";
    }
}

void writeText(int fd, const char *text)
{
    size_t length = strlen(text);
    while (length > 0) {
        const ssize_t n = ::write(fd, text, length);
        if (n <= 0)
            return;
        text += n;
        length -= size_t(n);
    }
}

void crashSignalHandler(int sig, siginfo_t *info, void *)
{
    if (crashing.exchange(true)) {
        // A second fault (another thread, or inside this handler): just end.
        signal(sig, SIG_DFL);
        raise(sig);
        return;
    }
    const unsigned long long address = reinterpret_cast<unsigned long long>(info->si_addr);

    char name[64];
    dumpName(name, sizeof name);
    const int fd = ::open(name, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd >= 0) {
        char line[256];
        size_t pos = 0;
        line[0] = '\0';
        pos = appendText(line, pos, sizeof line, "Borvane crash report\nsignal: ");
        pos = appendNumber(line, pos, sizeof line, unsigned(sig), 10, 1);
        pos = appendText(line, pos, sizeof line, " (");
        pos = appendText(line, pos, sizeof line, signalName(sig));
        pos = appendText(line, pos, sizeof line, ")\nsignal code: ");
        // Codes of signals sent by a process (abort, kill) are negative.
        if (info->si_code < 0)
            pos = appendText(line, pos, sizeof line, "-");
        pos = appendNumber(line, pos, sizeof line,
                           unsigned(info->si_code < 0 ? -info->si_code : info->si_code), 10, 1);
        pos = appendText(line, pos, sizeof line, "\nfault address: 0x");
        pos = appendNumber(line, pos, sizeof line, address, 16, 1);
        pos = appendText(line, pos, sizeof line, "\nprocess: ");
        pos = appendNumber(line, pos, sizeof line, unsigned(getpid()), 10, 1);
        appendText(line, pos, sizeof line, "\nbacktrace:\n");
        writeText(fd, line);
        void *frames[64];
        const int count = backtrace(frames, 64);
        backtrace_symbols_fd(frames, count, fd);
        ::close(fd);
    }

    if (crashNotifier) {
        signal(SIGALRM, SIG_DFL);
        alarm(CrashReportStartLimitSecs);
        crashNotifier(static_cast<unsigned long>(sig), address);
        alarm(0);
    }

    signal(sig, SIG_DFL);
    raise(sig);
}

} // namespace

void crashReportShown()
{
    alarm(0);
}

QString crashDumpName()
{
    char name[64];
    dumpName(name, sizeof name);
    return QString::fromUtf8(name);
}

void installCrashHandler(CrashNotifier notifier)
{
    crashNotifier = notifier;
    const QDateTime now = QDateTime::currentDateTime();
    utcOffsetSeconds = now.offsetFromUtc();
    // The first backtrace() loads its unwinder, which allocates: do it now, not in the handler.
    void *frames[4];
    backtrace(frames, 4);

    stack_t stack{};
    stack.ss_sp = alternateStack;
    stack.ss_size = sizeof alternateStack;
    sigaltstack(&stack, nullptr);

    struct sigaction action
    {
    };
    action.sa_sigaction = crashSignalHandler;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    for (int sig : fatalSignals)
        sigaction(sig, &action, nullptr);
}

// ---------------------------------------------------------------- autostart and shortcut

namespace {

QString autostartFile(const QString &appName)
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QStringLiteral("/autostart/") + appName + QStringLiteral(".desktop");
}

QString desktopEntry(const QString &name, const QString &command)
{
    QString quoted = command;
    quoted.replace('\\', QStringLiteral("\\\\")).replace('"', QStringLiteral("\\\""));
    return QStringLiteral(
               "[Desktop Entry]\nType=Application\nName=%1\nExec=\"%2\"\nTerminal=false\n")
        .arg(name, quoted);
}

QString execOf(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return QString();
    QTextStream in(&file);
    in.setCodec("UTF-8");
    while (!in.atEnd()) {
        const QString line = in.readLine();
        if (line.startsWith(QStringLiteral("Exec="))) {
            QString value = line.mid(5);
            if (value.size() >= 2 && value.startsWith('"') && value.endsWith('"'))
                value = value.mid(1, value.size() - 2);
            return value.replace(QStringLiteral("\\\""), QStringLiteral("\""))
                .replace(QStringLiteral("\\\\"), QStringLiteral("\\"));
        }
    }
    return QString();
}

bool writeTextFile(const QString &path, const QString &text, bool executable)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    file.write(text.toUtf8());
    file.close();
    QFile::Permissions perms =
        QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther;
    if (executable)
        perms |= QFile::ExeOwner | QFile::ExeGroup | QFile::ExeOther;
    return file.setPermissions(perms);
}

} // namespace

QString autostartValue(const QString &appName)
{
    return execOf(autostartFile(appName));
}

void setAutostartValue(const QString &appName, const QString &command)
{
    writeTextFile(autostartFile(appName), desktopEntry(appName, command), false);
}

void createDesktopShortcut(const QString &linkName, const QString &target)
{
    const QString dir = QStandardPaths::writableLocation(QStandardPaths::DesktopLocation);
    if (dir.isEmpty())
        return;
    const QString path = dir + '/' + linkName + QStringLiteral(".desktop");
    if (QFileInfo::exists(path))
        return;
    writeTextFile(path, desktopEntry(linkName, target), true);
}

// ---------------------------------------------------------------- processes

void killProcessesByName(const QString &name)
{
    // pkill -x matches the executable name exactly, as taskkill /im does.
    const QStringList arguments{QStringLiteral("-KILL"), QStringLiteral("-x"), name};
    runProcess(QStringLiteral("pkill"), arguments);
}

QString clientExecutableName()
{
    return QStringLiteral("borvane");
}

QString updaterExecutableName()
{
    return QStringLiteral("tsy_up");
}

} // namespace platform

#endif // !Q_OS_WIN
