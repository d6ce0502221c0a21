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
class TunnelsItem;

// What the home window's tray icon tells while the window is hidden: a menu with one entry per
// tunnel (its state, and a click starts or stops it as the card's button does), the running
// tunnels in the tool tip, and a balloon when a running tunnel drops, comes back or loses its
// local service. It follows the cards and publishes their status for the local status API.
class TrayMenu : public QObject
{
    Q_OBJECT

public:
    // Gives tray its context menu; the menu belongs to this object.
    explicit TrayMenu(QSystemTrayIcon *tray, QObject *parent = nullptr);
    ~TrayMenu() override;

    // A card of the list, in the list's order; followed for as long as it lives.
    void addCard(TunnelsItem *card);
    QMenu *menu() const { return contextMenu; }
    QList<TunnelStatus> statuses() const;

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
    // At most once per turn of the event loop, however many cards changed.
    void statusesChanged(const QList<TunnelStatus> &tunnels);
    void messageShown(const QString &title, const QString &text);

private:
    enum class Notice { Dropped, Back, LocalUnreachable };
    struct Entry
    {
        QPointer<TunnelsItem> card;
        QAction *action = nullptr;
        TunnelStatus last;
        bool dropped = false; // reconnecting after it had been running
        QDateTime shown[3];   // by Notice
    };

    void cardChanged(Entry &entry);
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
