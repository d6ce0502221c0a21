#pragma once

#include "net/updatecheck.h"
#include "tunnel/tunnelrecord.h"

#include <QMap>
#include <QSystemTrayIcon>
#include <QWidget>

class QScrollArea;
class QTimer;
class QVBoxLayout;
class TrayMenu;
class TunnelRegistry;
class TunnelsItem;

namespace Ui {
class MyWindow;
}

// The home window after sign-in: the account's tunnels as a column of cards, the tray icon,
// the exit dialog, the service links and notice, and the update check.
class MyWindow : public QWidget
{
    Q_OBJECT

public:
    // Shows the tunnels of tunnels, or of a registry of its own when none is given.
    explicit MyWindow(TunnelRegistry *tunnels = nullptr, QWidget *parent = nullptr);
    ~MyWindow() override;

    static constexpr int RefreshIntervalMs = 30 * 60 * 1000;
    // Every card is taken to be this tall when the list's content height is set.
    static constexpr int CardSlotHeightPx = 160;
    // After a payment code is shown the list is reloaded after each of these pauses in turn,
    // so that a paid tunnel appears without another sign-in; the service may take a while.
    static constexpr int PaymentReloadDelaysMs[] = {20 * 1000, 40 * 1000, 2 * 60 * 1000,
                                                    5 * 60 * 1000};

    void getTunnelList();
    void initLayout();
    void initListView(const TunnelRecord &record, int index);
    // The window's own automatic update check; hides QWidget::update() on purpose.
    void update();
    void getNotice();

public slots:
    void reloadTunnelList();

protected:
    void closeEvent(QCloseEvent *event) override;

private slots:
    void on_pushButton_login_clicked();
    void on_pushButton_clicked();
    void on_pushButton_2_clicked();
    void on_pushButton_close_clicked();
    void on_pushButton_3_clicked();
    void on_pushButton_4_clicked();
    void on_pushButton_5_clicked();
    void on_pushButton_7_clicked();
    void on_pushButton_refresh_clicked();
    void onTrayActivated(QSystemTrayIcon::ActivationReason reason);
    void onRefreshTimeout();
    void reloadAfterPayment();
    void onPaymentReloadTimeout();
    void showUpToDate(UpdateCheck::Trigger trigger);
    void showOffer(const UpdateOffer &offer, UpdateCheck::Trigger trigger);
    void showRefusal(const QString &msg, UpdateCheck::Trigger trigger);
    void showBusy(const QString &error);

private:
    friend class TstMyWindow;

    void minimizeToTray();
    void showFromTray();
    void quitCompletely();
    void openServiceLink(const char *path);

    QScrollArea *qs = nullptr;
    QWidget *mwidget = nullptr;
    QVBoxLayout *listLayout = nullptr;
    QMap<QString, TunnelsItem *> cardsByDomain;
    QSystemTrayIcon *tray = nullptr;
    TunnelRegistry *tunnels;
    TrayMenu *trayMenu = nullptr;
    QTimer *refreshTimer = nullptr;
    QTimer *paymentReloadTimer = nullptr;
    int paymentReloadsDone = 0;
    UpdateCheck *updates = nullptr;
    Ui::MyWindow *ui;
};
