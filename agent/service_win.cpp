// The agent as a Windows service, through the service control manager's own interface.
#include "service.h"

#ifdef Q_OS_WIN

#include "agent/console.h"

#include <QCoreApplication>
#include <QDir>
#include <QMetaObject>

#include <thread>

#include <windows.h>

namespace service {

namespace {

constexpr wchar_t DisplayName[] = L"Borvane Agent";
constexpr wchar_t Description[] =
    L"Runs the Borvane tunnels whose autostart flag is set, without a desktop session.";
// How long the manager waits for a stop before it calls the service hung; the agent needs 2 s.
constexpr DWORD StopWaitHintMs = 5000;
constexpr DWORD RestartDelayMs = 5000;
constexpr int StartAttempts = 20; // StartRetryMs apart, while the manager's database is locked
constexpr DWORD StartRetryMs = 500;
constexpr int UninstallWaitSteps = 50; // of UninstallStepMs each
constexpr DWORD UninstallStepMs = 200;

// The one service of this process; the manager's threads and the main thread share it.
SERVICE_STATUS_HANDLE statusHandle = nullptr;
HANDLE registeredEvent = nullptr; // set once the service main has run (or the dispatcher failed)
HANDLE stoppedEvent = nullptr;    // set once the agent's run has ended
DWORD dispatcherError = 0;
int runExitCode = 0;

void report(DWORD state, DWORD exitCode = 0, DWORD waitHintMs = 0)
{
    SERVICE_STATUS status{};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted =
        state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
    status.dwWin32ExitCode = exitCode == 0 ? NO_ERROR : ERROR_SERVICE_SPECIFIC_ERROR;
    status.dwServiceSpecificExitCode = exitCode;
    status.dwWaitHint = waitHintMs;
    SetServiceStatus(statusHandle, &status);
}

DWORD WINAPI controlHandler(DWORD control, DWORD, LPVOID, LPVOID)
{
    switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
        report(SERVICE_STOP_PENDING, 0, StopWaitHintMs);
        // Thread-safe: the event loop on the main thread ends, and the agent with it.
        QMetaObject::invokeMethod(QCoreApplication::instance(), "quit", Qt::QueuedConnection);
        return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
        return NO_ERROR;
    default:
        return ERROR_CALL_NOT_IMPLEMENTED;
    }
}

// Runs on a thread of the manager's dispatcher; the agent itself runs on the main thread,
// where its application object lives.
void WINAPI serviceMain(DWORD, LPWSTR *)
{
    statusHandle = RegisterServiceCtrlHandlerExW(ServiceName, controlHandler, nullptr);
    if (!statusHandle) {
        dispatcherError = GetLastError();
        SetEvent(registeredEvent);
        return;
    }
    report(SERVICE_RUNNING);
    SetEvent(registeredEvent);
    WaitForSingleObject(stoppedEvent, INFINITE);
    report(SERVICE_STOPPED, DWORD(runExitCode));
}

QString systemText(DWORD code)
{
    wchar_t *buffer = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, 0, reinterpret_cast<LPWSTR>(&buffer), 0, nullptr);
    QString text = length ? QString::fromWCharArray(buffer, int(length)).trimmed()
                          : QStringLiteral("error %1").arg(code);
    LocalFree(buffer);
    return text;
}

// Closes a service handle when it goes.
struct Handle
{
    explicit Handle(SC_HANDLE h) : h(h) {}
    ~Handle()
    {
        if (h)
            CloseServiceHandle(h);
    }
    Handle(const Handle &) = delete;
    Handle &operator=(const Handle &) = delete;
    SC_HANDLE h;
};

int managerRefused(const QString &what)
{
    const DWORD code = GetLastError();
    console::error(
        what + QStringLiteral(": ") + systemText(code) +
        (code == ERROR_ACCESS_DENIED ? QStringLiteral(" (run it as administrator)") : QString()));
    return console::SystemError;
}

} // namespace

int runAsService(const std::function<int()> &run)
{
    registeredEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    stoppedEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::thread dispatcher([] {
        wchar_t name[sizeof(ServiceName) / sizeof(wchar_t)];
        wcscpy(name, ServiceName);
        const SERVICE_TABLE_ENTRYW table[] = {{name, serviceMain}, {nullptr, nullptr}};
        if (!StartServiceCtrlDispatcherW(table) && !statusHandle) {
            dispatcherError = GetLastError();
            SetEvent(registeredEvent);
        }
    });
    WaitForSingleObject(registeredEvent, INFINITE);
    if (!statusHandle) {
        dispatcher.join();
        console::error(dispatcherError == ERROR_FAILED_SERVICE_CONTROLLER_CONNECT
                           ? QStringLiteral("\"service\" is run by the service control manager; "
                                            "use \"borvane-agent run\" in a console")
                           : QStringLiteral("cannot start the service: ") +
                                 systemText(dispatcherError));
        return console::Usage;
    }
    runExitCode = run();
    SetEvent(stoppedEvent);
    dispatcher.join();
    return runExitCode;
}

int install(bool userUnit, bool printOnly)
{
    if (userUnit || printOnly) {
        console::error(QStringLiteral("--user and --print are for Linux units"));
        return console::Usage;
    }
    Handle manager(
        OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE));
    if (!manager.h)
        return managerRefused(QStringLiteral("cannot open the service control manager"));
    const std::wstring command =
        L"\"" + QDir::toNativeSeparators(QCoreApplication::applicationFilePath()).toStdWString() +
        L"\" service";
    Handle created(CreateServiceW(manager.h, ServiceName, DisplayName, SERVICE_ALL_ACCESS,
                                  SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START,
                                  SERVICE_ERROR_NORMAL, command.c_str(), nullptr, nullptr,
                                  L"Tcpip\0Dnscache\0", nullptr, nullptr));
    SC_HANDLE service = created.h;
    Handle existing(nullptr);
    if (!service) {
        if (GetLastError() != ERROR_SERVICE_EXISTS)
            return managerRefused(QStringLiteral("cannot create the service"));
        // Installed before, perhaps from another folder: it now runs this copy.
        existing.h = OpenServiceW(manager.h, ServiceName, SERVICE_ALL_ACCESS);
        service = existing.h;
        if (!service || !ChangeServiceConfigW(service, SERVICE_NO_CHANGE, SERVICE_AUTO_START,
                                              SERVICE_NO_CHANGE, command.c_str(), nullptr, nullptr,
                                              nullptr, nullptr, nullptr, DisplayName))
            return managerRefused(QStringLiteral("cannot update the service"));
    }
    wchar_t description[sizeof(Description) / sizeof(wchar_t)];
    wcscpy(description, Description);
    SERVICE_DESCRIPTIONW about{description};
    ChangeServiceConfig2W(service, SERVICE_CONFIG_DESCRIPTION, &about);
    // A crash is followed by a new start; an exit with a code (no sign-in) is not.
    SC_ACTION actions[3] = {{SC_ACTION_RESTART, RestartDelayMs},
                            {SC_ACTION_RESTART, RestartDelayMs},
                            {SC_ACTION_RESTART, RestartDelayMs}};
    SERVICE_FAILURE_ACTIONSW failure{};
    failure.dwResetPeriod = 24 * 60 * 60;
    failure.cActions = 3;
    failure.lpsaActions = actions;
    ChangeServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS, &failure);
    // The manager keeps its database locked for a moment while it starts other services.
    bool started = false;
    for (int i = 0; i < StartAttempts && !started; ++i) {
        started =
            StartServiceW(service, 0, nullptr) || GetLastError() == ERROR_SERVICE_ALREADY_RUNNING;
        if (!started && GetLastError() != ERROR_SERVICE_DATABASE_LOCKED)
            break;
        if (!started)
            Sleep(StartRetryMs);
    }
    if (!started)
        return managerRefused(QStringLiteral("installed, but it did not start"));
    console::out(QStringLiteral("installed and started: service BorvaneAgent (%1)")
                     .arg(QString::fromStdWString(command)));
    return console::Ok;
}

int uninstall(bool userUnit)
{
    if (userUnit) {
        console::error(QStringLiteral("--user is for Linux units"));
        return console::Usage;
    }
    Handle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager.h)
        return managerRefused(QStringLiteral("cannot open the service control manager"));
    Handle service(
        OpenServiceW(manager.h, ServiceName, DELETE | SERVICE_STOP | SERVICE_QUERY_STATUS));
    if (!service.h) {
        if (GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST) {
            console::error(QStringLiteral("the service BorvaneAgent is not installed"));
            return console::Usage;
        }
        return managerRefused(QStringLiteral("cannot open the service"));
    }
    SERVICE_STATUS status{};
    if (ControlService(service.h, SERVICE_CONTROL_STOP, &status)) {
        for (int i = 0; i < UninstallWaitSteps && status.dwCurrentState != SERVICE_STOPPED; ++i) {
            Sleep(UninstallStepMs);
            if (!QueryServiceStatus(service.h, &status))
                break;
        }
    }
    if (!DeleteService(service.h))
        return managerRefused(QStringLiteral("cannot remove the service"));
    console::out(QStringLiteral("removed: service BorvaneAgent"));
    return console::Ok;
}

} // namespace service

#endif
