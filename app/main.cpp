#include "app/startup.h"
#include "platform/environment.h"
#include "ui/mainwindow.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    app.setStyleSheet(QStringLiteral("*{outline:0px;}"));
    // Tunnels keep running with every window hidden; the tray icon keeps them reachable.
    app.setQuitOnLastWindowClosed(false);

    // The system's own clock, processes, browser and message boxes; tests install their own.
    const Environment::Scope environment;
    startUp(app, QString::fromUtf8(argv[0]));

    MainWindow w;
    w.show();
    return app.exec();
}
