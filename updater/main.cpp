// tsy_up: the update program the updater starts beside the client before the client ends. It
// waits for the client to go, moves the staged files of the update folder into the program's
// directory, starts the client again and writes one line of what it did to tsy_up.log. Whatever
// fails, the installed client is left whole and started.
#include "core/updatehandover.h"
#include "core/updatemanifest.h"
#include "updater/installer.h"

#include <QCoreApplication>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    // The updater names itself in our environment; started by hand there is nothing to wait for.
    bool ok = false;
    const qint64 clientPid = qEnvironmentVariableIntValue(updatehandover::ClientPidVariable, &ok);
    bool started = false;
    tsyup::run(QCoreApplication::applicationDirPath(), ok ? clientPid : 0, tsyup::ClientExitWaitMs,
               UpdateManifest::builtInKey(), &started);
    return started ? 0 : 1;
}
