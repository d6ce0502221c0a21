#pragma once

#include "tunnel/tunnelcontroller.h"
#include "tunnel/tunnelrecord.h"
#include "tunnel/tunnelstatus.h"

#include <QPointer>
#include <QWidget>

namespace Ui {
class TunnelsItem;
}

class EditTunnelForm;
class InfosForm;
class RequestsForm;

// The card of one tunnel in the home window's list: shows the tunnel and its controller's state
// (the start button's text), starts and stops it, tests the local service, shows the controller's
// event log in the status window and opens the edit form.
class TunnelsItem : public QWidget
{
    Q_OBJECT

public:
    // A card of its own tunnel, with a controller of its own.
    explicit TunnelsItem(QWidget *parent = nullptr);
    // The card of controller's tunnel; the card owns it from now on, and the tunnel ends with
    // the card.
    explicit TunnelsItem(TunnelController *controller, QWidget *parent = nullptr);
    ~TunnelsItem() override;

    void InitItem(const TunnelRecord &record);
    void initView();
    bool startTunnel();
    void TestLocalhost();

    // The tunnel's state and live figures as last sampled; see statusChanged.
    TunnelStatus status() const;
    TunnelController *tunnelController() const { return controller; }
    // Starts the tunnel when it is idle, stops it when it runs: what the start button does.
    void toggleTunnel() { on_tunnel_start_clicked(); }

    static constexpr int LocalTestTimeoutMs = TunnelController::LocalTestTimeoutMs;
    static constexpr int CopiedNoticeMs = 1500;

signals:
    void TestLocalhostOkSignal(bool b);
    // The status changed: a new sample (about once a second while a session runs) or a new
    // state (started, running, reconnecting, stopped, local service unreachable).
    void statusChanged();

public slots:
    void TestLocalhostResult(bool ok);
    void tunnelInfoSlot(int type, QString info);
    void editSuccessSlot();

protected:
    void showEvent(QShowEvent *event) override;

private slots:
    void on_tunnel_start_clicked();
    void on_btn_warning_info_clicked();
    void on_btn_edit_clicked();
    void on_pushButton_clicked();
    void on_btn_copy_address_clicked();
    void on_btn_address_qr_clicked();

private:
    friend class TstTunnelsItem;
    friend struct CardShots; // pictures of the card in states that need a live session

    void showTunnelEvent(int type);
    void showState();
    void showFigures();
    void showLocalTest();
    void showExpiry();
    void showInfo();
    void placeAddressButtons();
    void openConsoleForUnconfigured();
    void showRequests();

    TunnelController *controller;
    TunnelRecord &record; // the controller's
    InfosForm *infosForm = nullptr;
    QPointer<EditTunnelForm> editForm;
    QPointer<RequestsForm> requestsForm;
    Ui::TunnelsItem *ui;
};
