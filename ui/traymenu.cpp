#include "traymenu.h"

#include "net/statustext.h"
#include "platform/environment.h"
#include "tunnel/tunnelcontroller.h"
#include "tunnel/tunnelregistry.h"
#include "ui/logviewer.h"

#include <QAction>
#include <QDebug>
#include <QMenu>
#include <QTimer>

namespace {

constexpr int MenuNameChars = 20;

QString shortName(const QString &name, int chars)
{
    return name.size() <= chars ? name : name.left(chars - 1) + QStringLiteral("…");
}

} // namespace

TrayMenu::TrayMenu(QSystemTrayIcon *tray, TunnelRegistry *tunnels, QObject *parent)
    : QObject(parent), tray(tray), contextMenu(new QMenu)
{
    contextMenu->addAction(QStringLiteral("显示主界面"), this, &TrayMenu::showWindowRequested);
    contextMenu->addAction(QStringLiteral("刷新隧道列表"), this, &TrayMenu::reloadRequested);
    contextMenu->addSeparator();
    noTunnels = contextMenu->addAction(QStringLiteral("暂无隧道"));
    noTunnels->setEnabled(false);
    tunnelsEnd = contextMenu->addSeparator();
    contextMenu->addAction(QStringLiteral("查看运行日志"), this, [] { LogViewer::showShared(); });
    contextMenu->addAction(QStringLiteral("完全退出"), this, &TrayMenu::quitRequested);
    tray->setContextMenu(contextMenu);
    for (TunnelController *tunnel : tunnels->controllers())
        addTunnel(tunnel);
    connect(tunnels, &TunnelRegistry::added, this, &TrayMenu::addTunnel);
}

TrayMenu::~TrayMenu()
{
    if (tray)
        tray->setContextMenu(nullptr);
    delete contextMenu;
}

void TrayMenu::addTunnel(TunnelController *tunnel)
{
    auto entry = std::make_unique<Entry>();
    entry->tunnel = tunnel;
    entry->last = tunnel->status();
    entry->action = new QAction(contextMenu);
    contextMenu->insertAction(tunnelsEnd, entry->action);
    noTunnels->setVisible(false);
    Entry *e = entry.get();
    // Whoever shows the tunnel decides, as for its own button: start when idle, stop when running.
    connect(e->action, &QAction::triggered, tunnel,
            [this, tunnel] { emit toggleRequested(tunnel); });
    connect(tunnel, &TunnelController::statusChanged, this, [this, e] { tunnelChanged(*e); });
    entries.push_back(std::move(entry));
    updateAction(*e);
    scheduleRefresh();
}

void TrayMenu::tunnelChanged(Entry &entry)
{
    using State = TunnelStatus::State;
    const TunnelStatus now = entry.tunnel->status();
    const State before = entry.last.state;
    entry.last = now;
    scheduleRefresh();
    if (now.state == before)
        return;

    const QString name = now.name.isEmpty() ? now.domain : now.name;
    if (now.state == State::Reconnecting &&
        (before == State::Running || before == State::LocalUnreachable)) {
        entry.dropped = true;
        notify(entry, Notice::Dropped, QStringLiteral("隧道已断开：") + name,
               now.stateReason.isEmpty() ? QStringLiteral("正在重连…")
                                         : QStringLiteral("正在重连：") + now.stateReason);
    } else if (now.state == State::LocalUnreachable) {
        entry.dropped = false;
        // The reason names the address and what the system said.
        notify(entry, Notice::LocalUnreachable, QStringLiteral("本地服务不可达：") + name,
               now.stateReason.isEmpty() ? now.localAddress : now.stateReason);
    } else if (now.state == State::Running && before == State::Reconnecting && entry.dropped) {
        entry.dropped = false;
        notify(entry, Notice::Back, QStringLiteral("隧道已恢复：") + name,
               now.publicAddress + QStringLiteral(" 已可访问"));
    } else if (now.state == State::Stopped) {
        entry.dropped = false;
    }
}

void TrayMenu::notify(Entry &entry, Notice notice, const QString &title, const QString &text)
{
    // An icon that is not shown cannot speak; the window shows the card itself.
    if (!tray || !tray->isVisible())
        return;
    QDateTime &last = entry.shown[int(notice)];
    const QDateTime now = platform::now();
    const qint64 since = last.isValid() ? last.msecsTo(now) : -1;
    // A clock set back counts as a minute gone.
    if (since >= 0 && since < MessageIntervalMs)
        return;
    last = now;
    qDebug() << "TrayMessage" << entry.last.domain << title;
    tray->showMessage(title, text,
                      notice == Notice::Back ? QSystemTrayIcon::Information
                                             : QSystemTrayIcon::Warning,
                      MessageShowMs);
    emit messageShown(title, text);
}

void TrayMenu::scheduleRefresh()
{
    if (refreshPending)
        return;
    refreshPending = true;
    QTimer::singleShot(0, this, &TrayMenu::refresh);
}

void TrayMenu::refresh()
{
    refreshPending = false;
    for (const auto &entry : entries) {
        if (entry->tunnel)
            updateAction(*entry);
    }
    updateToolTip();
}

void TrayMenu::updateAction(const Entry &entry)
{
    using State = TunnelStatus::State;
    const TunnelStatus status = entry.tunnel->status();
    QString text = shortName(status.name.isEmpty() ? status.domain : status.name, MenuNameChars) +
                   QStringLiteral(" · ") + statustext::state(status.state);
    if (status.isRunning() && status.activeConnections > 0)
        text += QStringLiteral(" · %1 个连接").arg(status.activeConnections);
    // After the tab: the right-hand column, where a menu shows shortcuts.
    text +=
        QLatin1Char('\t') + (status.isRunning() ? QStringLiteral("停止") : QStringLiteral("启动"));
    entry.action->setText(text);
    // A start in progress cannot be stopped yet; the card ignores its button then too.
    entry.action->setEnabled(status.state != State::Starting);
}

void TrayMenu::updateToolTip()
{
    if (!tray)
        return;
    QStringList lines{tr("Borvane")};
    int running = 0;
    for (const auto &entry : entries) {
        if (!entry->tunnel)
            continue;
        const TunnelStatus status = entry->tunnel->status();
        if (!status.isRunning())
            continue;
        if (++running > ToolTipTunnels)
            continue;
        lines.append(
            shortName(status.name.isEmpty() ? status.domain : status.name, ToolTipNameChars) +
            QStringLiteral("：") + statustext::state(status.state) +
            QStringLiteral("，%1 个连接").arg(status.activeConnections));
    }
    if (running > ToolTipTunnels)
        lines.append(QStringLiteral("另有 %1 个隧道在运行").arg(running - ToolTipTunnels));
    tray->setToolTip(lines.join(QLatin1Char('\n')));
}
