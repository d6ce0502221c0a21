#pragma once

#include "tunnel/tunnelstatus.h"

#include <QDateTime>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QSystemTrayIcon>

#include <memory>
#include <vector>

class QAction;
class QMenu;
class TunnelController;
class TunnelRegistry;

// What the home window's tray icon tells while the window is hidden: a menu with one entry per
// tunnel of the registry (its state, and a click asks to start or stop it as the card's button
// does), the running tunnels in the tool tip, and a balloon when a running tunnel drops, comes
// back or loses its local service.
class TrayMenu : public QObject
{
    Q_OBJECT

public:
    // Gives tray its context menu; the menu belongs to this object. Follows every tunnel of
    // tunnels, in the registry's order, for as long as each lives.
    TrayMenu(QSystemTrayIcon *tray, TunnelRegistry *tunnels, QObject *parent = nullptr);
    ~TrayMenu() override;

    QMenu *menu() const { return contextMenu; }

    // Each kind of balloon, per tunnel.
    static constexpr int MessageIntervalMs = 60 * 1000;
    static constexpr int MessageShowMs = 5000;
    // Running tunnels named in the tool tip; Windows cuts a tool tip off after 127 characters.
    static constexpr int ToolTipTunnels = 3;
    static constexpr int ToolTipNameChars = 12;

signals:
    void showWindowRequested();
    void reloadRequested();
    void quitRequested();
    // The entry of a tunnel was clicked: whoever shows the tunnel starts or stops it.
    void toggleRequested(TunnelController *tunnel);
    void messageShown(const QString &title, const QString &text);

private:
    enum class Notice { Dropped, Back, LocalUnreachable };
    struct Entry
    {
        QPointer<TunnelController> tunnel;
        QAction *action = nullptr;
        TunnelStatus last;
        bool dropped = false; // reconnecting after it had been running
        QDateTime shown[3];   // by Notice
    };

    void addTunnel(TunnelController *tunnel);
    void tunnelChanged(Entry &entry);
    void notify(Entry &entry, Notice notice, const QString &title, const QString &text);
    void scheduleRefresh();
    void refresh();
    void updateAction(const Entry &entry);
    void updateToolTip();

    QPointer<QSystemTrayIcon> tray;
    QMenu *contextMenu;
    QAction *tunnelsEnd;
    QAction *noTunnels;
    std::vector<std::unique_ptr<Entry>> entries;
    bool refreshPending = false;
};
