#pragma once

#include "tunnel/tunnelrecord.h"

#include <QWidget>

namespace Ui {
class InfosForm;
}

// The status window of one tunnel: its domain, the card's event log and the heartbeat counts.
// It only shows what its card hands it; the log and the counts belong to the card.
class InfosForm : public QWidget
{
    Q_OBJECT

public:
    explicit InfosForm(QWidget *parent = nullptr);
    ~InfosForm() override;

    void updateInfo(const TunnelRecord &record, const QString &log, int receivedCount,
                    int sentCount);
    // The running tunnel's rates between the heartbeat counts, its connections and round trip
    // as their tool tip; empty texts when it does not run.
    void updateLive(const QString &rates, const QString &details);

signals:
    // The user asks for the tunnel's web requests, or for the program's log files.
    void requestsWanted();
    void logsWanted();

private slots:
    void on_pushButton_clicked();
    void on_textEdit_textChanged();
    void on_btn_requests_clicked();
    void on_btn_logs_clicked();

private:
    TunnelRecord record;
    QString log;
    int receivedCount = 0;
    int sentCount = 0;
    Ui::InfosForm *ui;
};
