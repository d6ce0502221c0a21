#pragma once

// The services the client takes from its surroundings where a test has to stand in for them:
// the clock, the end of the event loop, processes, the browser, message boxes, the folder an
// update is written to and the waits of the network code. main creates the environment the
// program runs with; a test installs its own for as long as an Environment::Scope lives, and
// everything is as before once the scope ends.

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

namespace dialogs {
struct Box;
}

class Environment
{
public:
    // An empty function or an unset value stands for the system's own service.
    std::function<QDateTime()> clock;       // QDateTime::currentDateTime
    std::function<void(int exitCode)> quit; // QCoreApplication::exit
    // Runs a command to completion and returns its exit code (QProcess::execute).
    std::function<int(const QString &program, const QStringList &arguments)> runProcess;
    // Starts a program and leaves it running (QProcess::startDetached).
    std::function<bool(const QString &program, const QStringList &arguments)> startDetached;
    std::function<void(const QString &url)> openUrl; // the default browser
    // Shows a modal box; returns the index of the chosen custom button (0 for the standard OK,
    // -1 when dismissed).
    std::function<int(const dialogs::Box &box)> messageBox;
    // Where downloads are staged for the update program: "update" in the program's directory
    // when empty.
    QString updateFolder;
    // The key update downloads are checked against (hex or base64), in place of the build's.
    std::optional<QByteArray> updatePublicKey;
    // A request whose transfer stalls this long ends in failure (HttpRequest's own default).
    std::optional<int> transferTimeoutMs;
    // The first and the longest pause before a failed sign-in is tried again (the sign-in
    // window's own).
    std::optional<int> firstSignInRetryMs;
    std::optional<int> maxSignInRetryMs;
    // Where each running tunnel keeps its lock file, so that two programs of this machine never
    // run the same tunnel at once (TunnelLock). Empty: tunnels take no lock. The programs set it
    // in main; tests leave it empty, so that parallel test runs never refuse each other.
    QString tunnelLockFolder;

    // The environment in force: the innermost live scope's, otherwise the system's own.
    static const Environment &current();

    // Installs an environment for its own lifetime; scopes nest. Created and ended on the GUI
    // thread, like every reader of the environment.
    class Scope;
};

class Environment::Scope
{
public:
    explicit Scope(Environment environment = Environment());
    ~Scope();
    Scope(const Scope &) = delete;
    Scope &operator=(const Scope &) = delete;

    Environment *operator->() { return &installed; }
    Environment &operator*() { return installed; }

private:
    Environment installed;
    const Environment *previous;
};

namespace platform {

QDateTime now();         // the environment's clock
void quit(int exitCode); // ends the event loop with exitCode

} // namespace platform
