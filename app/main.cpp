#include "app/startup.h"
#include "core/globals.h"
#include "core/settings.h"
#include "net/statusserver.h"
#include "platform/environment.h"
#include "tunnel/tunnelregistry.h"
#include "ui/mainwindow.h"

#include <QApplication>

// The threads of the client. This one, the GUI thread, runs every window, every request to
// the service and every tunnel session with its control connection, all event driven. Beside
// it run only
// - the data relay of each started tunnel (tunnel/): its own dispatcher thread, which takes
//   the visitors' CONN requests from the session, and a pool of lower-priority workers that
//   copy the bytes of each data connection in both directions with blocking sockets;
// - the local-service probe of a card (ui/tunnelsitem.cpp), one short task on Qt's global
//   pool per probe, which reports back to the card through a watcher;
// - the local status API (net/statusserver.cpp), a listening thread and a few workers that
//   answer from the copy of the tunnels' status the registry publishes.
// The crash handler runs on whichever thread crashed: it writes the dump there, and shows its
// report only when that thread is this one.
int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    app.setStyleSheet(QStringLiteral("*{outline:0px;}"));
    // Tunnels keep running with every window hidden; the tray icon keeps them reachable.
    app.setQuitOnLastWindowClosed(false);

    // The system's own clock, processes, browser and message boxes; tests install their own.
    // The tunnels' lock files keep the agent of this folder off the tunnels this client runs.
    Environment system;
    system.tunnelLockFolder = tunnelLockFolder();
    const Environment::Scope environment(system);
    startUp(app, QString::fromUtf8(argv[0]));

    // Every tunnel of this run, whichever window shows it; the status API reads it directly.
    TunnelRegistry tunnels;
    // Before any window, so that it answers (with no tunnels) from the start; it ends after the
    // event loop, waiting only briefly for answers in progress.
    StatusServer statusApi(tunnels.board());
    if (statusApiEnabled())
        statusApi.start(statusApiAddress());

    MainWindow w(&tunnels);
    w.show();
    return app.exec();
}
