#include "agent/agent.h"
#include "agent/commands.h"
#include "agent/console.h"
#include "agent/service.h"
#include "core/globals.h"
#include "core/logging.h"
#include "core/settings.h"
#include "net/statusserver.h"
#include "platform/environment.h"
#include "platform/platform.h"
#include "tunnel/tunnelregistry.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QUuid>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <QSocketNotifier>

#include <csignal>
#include <fcntl.h>
#include <unistd.h>
#endif

namespace {

const char Usage[] = R"(usage: borvane-agent <command>

  run                     run the tunnels whose autostart is on, until stopped
  login                   ask for the phone and password and save them
  list                    the account's tunnels, with their state and autostart
  enable <domain>         start this tunnel with the agent
  disable <domain>        do not start it
  status                  the running tunnels, from the local status API
  install-service [--user] [--print]
                          Linux: write the systemd unit (system, or --user);
                          --print shows it instead. Windows: install and start the service
  uninstall-service [--user]
  version

exit codes: 0 done, 1 bad command or argument, 2 not signed in, 3 sign-in refused,
4 service unreachable, 5 no program answers on the status API, 6 system error
)";

// The client's start-up steps without a window: the run's stamp and instance id, ./logs, the
// log handler and the crash handler (a report in the dump; there is nobody to show a box to).
void startUp(const QString &programPath)
{
    platform::raiseOpenFileLimit();
    logFileStamp = QDateTime::currentDateTime().toString(QStringLiteral("yyyy_MM_dd_hh_mm_ss"));
    clientUuid = QUuid::createUuid().toString();
    if (!QFileInfo(QStringLiteral("./logs")).isFile())
        QDir().mkpath(QStringLiteral("./logs"));
    trimLogFolder();
    qInstallMessageHandler(logMessageHandler);
    platform::installCrashHandler(nullptr);
    qDebug().noquote() << "AppRunPath：" << programPath;
    QDir().mkpath(settingsDirPath());
    protectSettingsFile();
    currentToken = readSetting(QStringLiteral("/setting/token"));
}

#ifdef Q_OS_WIN
// Set once the run has ended and its tunnels are stopped.
HANDLE runEnded = nullptr;
constexpr DWORD CloseWaitMs = 3000;

BOOL WINAPI consoleHandler(DWORD event)
{
    switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
        QMetaObject::invokeMethod(QCoreApplication::instance(), "quit", Qt::QueuedConnection);
        // A closed console ends the process as soon as this returns: wait for the stop.
        if (event == CTRL_CLOSE_EVENT && runEnded)
            WaitForSingleObject(runEnded, CloseWaitMs);
        return TRUE;
    default:
        return FALSE;
    }
}

void quitOnSignals(QCoreApplication &)
{
    runEnded = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(consoleHandler, TRUE);
}

void runHasEnded()
{
    if (runEnded)
        SetEvent(runEnded);
}
#else
int signalPipe[2] = {-1, -1};

void signalHandler(int)
{
    const char byte = 1;
    // Only an async-signal-safe write here; the event loop does the rest.
    [[maybe_unused]] const ssize_t n = ::write(signalPipe[1], &byte, 1);
}

void quitOnSignals(QCoreApplication &app)
{
    if (::pipe(signalPipe) != 0)
        return;
    ::fcntl(signalPipe[1], F_SETFL, O_NONBLOCK);
    auto *notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, &app);
    QObject::connect(notifier, &QSocketNotifier::activated, &app, [&app] {
        char byte = 0;
        [[maybe_unused]] const ssize_t n = ::read(signalPipe[0], &byte, 1);
        app.quit();
    });
    struct sigaction action = {};
    action.sa_handler = signalHandler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);
}

void runHasEnded() {}
#endif

// The agent until a signal, a service stop or a sign-in it cannot recover from ends it.
int run(QCoreApplication &app)
{
    Environment system;
    system.tunnelLockFolder = tunnelLockFolder();
    const Environment::Scope environment(system);

    TunnelRegistry tunnels;
    StatusServer statusApi(tunnels.board());
    if (readSetting(QStringLiteral("/setting/statusApi")) != QLatin1String("false"))
        statusApi.start(statusApiAddress());

    Agent agent(&tunnels);
    QObject::connect(&agent, &Agent::finished, &app, &QCoreApplication::exit, Qt::QueuedConnection);
    quitOnSignals(app);
    qDebug() << "AgentStart";
    agent.start();
    const int code = app.exec();
    qDebug() << "AgentStop" << code;
    agent.stopTunnels();
    statusApi.stop();
    console::note(QStringLiteral("stopped"));
    runHasEnded();
    return code;
}

bool takesDomain(const QString &command)
{
    return command == QLatin1String("enable") || command == QLatin1String("disable");
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    const QString command = args.value(0);
    args = args.mid(1);

    if (command.isEmpty() || command == QLatin1String("help") ||
        command == QLatin1String("--help") || command == QLatin1String("-h")) {
        std::fputs(Usage, command.isEmpty() ? stderr : stdout);
        return command.isEmpty() ? console::Usage : console::Ok;
    }
    if (command == QLatin1String("version") || command == QLatin1String("--version")) {
        console::out(QStringLiteral("borvane-agent ") + clientVersion);
        return console::Ok;
    }

    const bool userUnit = args.removeAll(QStringLiteral("--user")) > 0;
    const bool printOnly = args.removeAll(QStringLiteral("--print")) > 0;
    const bool serviceCommand = command == QLatin1String("install-service") ||
                                command == QLatin1String("uninstall-service");
    const int expected = takesDomain(command) ? 1 : 0;
    if (args.size() != expected || ((userUnit || printOnly) && !serviceCommand) ||
        (printOnly && command != QLatin1String("install-service"))) {
        console::error(takesDomain(command)
                           ? QStringLiteral("usage: borvane-agent %1 <domain>").arg(command)
                           : QStringLiteral("unexpected arguments for \"%1\": %2")
                                 .arg(command, app.arguments().mid(2).join(QLatin1Char(' '))));
        return console::Usage;
    }

    if (command == QLatin1String("install-service"))
        return service::install(userUnit, printOnly);
    if (command == QLatin1String("uninstall-service"))
        return service::uninstall(userUnit);
    if (command == QLatin1String("status"))
        return commands::status();

    if (command == QLatin1String("service")) {
        // The service control manager starts services in the system folder.
        QDir::setCurrent(QCoreApplication::applicationDirPath());
        return service::runAsService([&app] {
            startUp(QCoreApplication::applicationFilePath());
            return run(app);
        });
    }
    const bool known = command == QLatin1String("run") || command == QLatin1String("login") ||
                       command == QLatin1String("list") || takesDomain(command);
    if (!known) {
        console::error(
            QStringLiteral("unknown command \"%1\" (see \"borvane-agent help\")").arg(command));
        return console::Usage;
    }
    startUp(QString::fromLocal8Bit(argv[0]));
    if (command == QLatin1String("run"))
        return run(app);
    if (command == QLatin1String("login"))
        return commands::login();
    if (command == QLatin1String("list"))
        return commands::list();
    return commands::setAutostart(args.first(), command == QLatin1String("enable"));
}
