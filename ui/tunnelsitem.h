#pragma once

#include "tunnel/tunnelrecord.h"
#include "tunnel/tunnelstatus.h"

#include <QPointer>
#include <QWidget>

namespace Ui {
class TunnelsItem;
}

class EditTunnelForm;
class InfosForm;
class Tunnel;

// The card of one tunnel in the home window's list: shows the tunnel, starts and stops it,
// tests the local service, keeps the event log for the status window and opens the edit form.
// The start button's text is the card's state.
class TunnelsItem : public QWidget
{
    Q_OBJECT

public:
    explicit TunnelsItem(QWidget *parent = nullptr);
    ~TunnelsItem() override;

    void InitItem(const TunnelRecord &record);
    void initView();
    bool startTunnel();
    void TestLocalhost();

    // The tunnel's state and live figures as last sampled; see statusChanged.
    TunnelStatus status() const { return current; }
    // Starts the tunnel when it is idle, stops it when it runs: what the start button does.
    void toggleTunnel() { on_tunnel_start_clicked(); }

    // The log is emptied before the next line once it has grown past this.
    static constexpr int LogLimitChars = 2000;
    static constexpr int LocalTestTimeoutMs = 3000;

signals:
    void TestLocalhostOkSignal(bool b);
    // The status changed: a new sample (about once a second while a session runs) or a new
    // state (started, running, reconnecting, stopped, local service unreachable).
    void statusChanged();

public slots:
    void TestLocalhostResult(bool ok);
    void tunnelInfoSlot(int type, QString info);
    void editSuccessSlot();

private slots:
    void on_tunnel_start_clicked();
    void on_btn_warning_info_clicked();
    void on_btn_edit_clicked();
    void on_pushButton_clicked();

private:
    friend class TstTunnelsItem;

    void setIdleStyle();
    void setRunningStyle();
    void releaseSession();
    void updateState(int type, const QString &info);
    void openConsoleForUnconfigured();

    TunnelRecord record;
    Tunnel *session = nullptr;
    QString log;
    InfosForm *infosForm = nullptr;
    QPointer<EditTunnelForm> editForm;
    int receivedCount = 0;
    int sentCount = 0;
    TunnelStatus current;
    Ui::TunnelsItem *ui;
};
