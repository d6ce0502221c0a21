#pragma once

#include "tunnel/tunnelrecord.h"
#include "tunnel/tunnelstatus.h"

#include <QElapsedTimer>
#include <QPointer>
#include <QWidget>

namespace Ui {
class TunnelsItem;
}

class EditTunnelForm;
class InfosForm;
class QTimer;
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
    // The live figures are read from the relay this often while a session runs; failed local
    // connects reach the log at most once per sample, folded into one line.
    static constexpr int SampleIntervalMs = 1000;
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

    void setIdleStyle();
    void setRunningStyle();
    void releaseSession();
    void updateState(int type, const QString &info);
    void sample();
    void resetFigures();
    void showFigures();
    void appendLog(const QString &line);
    void placeAddressButtons();
    void openConsoleForUnconfigured();

    TunnelRecord record;
    Tunnel *session = nullptr;
    QString log;
    InfosForm *infosForm = nullptr;
    QPointer<EditTunnelForm> editForm;
    int receivedCount = 0;
    int sentCount = 0;
    TunnelStatus current;
    QTimer *sampler;
    QElapsedTimer sinceSample;
    qint64 localFailuresSeen = 0;
    qint64 localConnectsSeen = 0;
    bool localProbeFailed = false; // the start's local test said "-本地不通"
    Ui::TunnelsItem *ui;
};
