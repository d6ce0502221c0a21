// The parts of the platform layer that are the same on every system: the replaceable process
// runner and starter, through which tests keep the program from ending or starting anything.
#include "platform.h"
#include "platform_p.h"

#include <QProcess>

namespace platform {

namespace {

ProcessRunner &runnerSlot()
{
    static ProcessRunner runner;
    return runner;
}

ProcessStarter &starterSlot()
{
    static ProcessStarter starter;
    return starter;
}

} // namespace

int runProcess(const QString &program, const QStringList &arguments)
{
    if (runnerSlot())
        return runnerSlot()(program, arguments);
    return QProcess::execute(program, arguments);
}

void setProcessRunner(ProcessRunner runner)
{
    runnerSlot() = std::move(runner);
}

bool startDetached(const QString &program, const QStringList &arguments)
{
    if (starterSlot())
        return starterSlot()(program, arguments);
    return QProcess::startDetached(program, arguments);
}

void setProcessStarter(ProcessStarter starter)
{
    starterSlot() = std::move(starter);
}

} // namespace platform
