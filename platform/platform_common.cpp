// The parts of the platform layer that are the same on every system: the environment and the
// process runner and starter, through which tests keep the program from ending or starting
// anything.
#include "environment.h"
#include "platform.h"
#include "platform_p.h"

#include <QCoreApplication>
#include <QProcess>
#include <QtGlobal>

namespace {

const Environment *installedEnvironment = nullptr;

} // namespace

const Environment &Environment::current()
{
    static const Environment system;
    return installedEnvironment ? *installedEnvironment : system;
}

Environment::Scope::Scope(Environment environment)
    : installed(std::move(environment)), previous(installedEnvironment)
{
    installedEnvironment = &installed;
}

Environment::Scope::~Scope()
{
    // A scope ended out of turn would leave a dangling environment behind.
    if (installedEnvironment != &installed)
        qFatal("Environment scopes must end in the reverse order of their start");
    installedEnvironment = previous;
}

namespace platform {

QDateTime now()
{
    const Environment &environment = Environment::current();
    return environment.clock ? environment.clock() : QDateTime::currentDateTime();
}

void quit(int exitCode)
{
    const Environment &environment = Environment::current();
    if (environment.quit)
        environment.quit(exitCode);
    else
        QCoreApplication::exit(exitCode);
}

int runProcess(const QString &program, const QStringList &arguments)
{
    const Environment &environment = Environment::current();
    if (environment.runProcess)
        return environment.runProcess(program, arguments);
    return QProcess::execute(program, arguments);
}

bool startDetached(const QString &program, const QStringList &arguments)
{
    const Environment &environment = Environment::current();
    if (environment.startDetached)
        return environment.startDetached(program, arguments);
    return QProcess::startDetached(program, arguments);
}

} // namespace platform
