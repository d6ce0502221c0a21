#pragma once

#include <QWidget>

#include <memory>

namespace Ui {
class RequestsForm;
}

class QTimer;
class RequestLog;

// The latest web requests through one tunnel, newest first: method, path, answer, bytes and
// time. Reads the tunnel's request log about once a second while it is shown.
class RequestsForm : public QWidget
{
    Q_OBJECT

public:
    explicit RequestsForm(QWidget *parent = nullptr);
    ~RequestsForm() override;

    void setSource(std::shared_ptr<RequestLog> requests, const QString &domain);
    // Fills the list again if anything was noted since.
    void refresh();

    static constexpr int RefreshIntervalMs = 1000;

protected:
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;

private slots:
    void on_btn_clear_clicked();
    void on_btn_close_clicked();

private:
    std::shared_ptr<RequestLog> requests;
    quint64 shownVersion = ~quint64(0);
    QTimer *refreshTimer;
    Ui::RequestsForm *ui;
};
