#pragma once

#include "tunnel/tunnelrecord.h"

#include <QWidget>

namespace Ui {
class EditTunnelForm;
}

// Changes a stopped tunnel's name and local address at the service, and its local
// start-with-the-program flag. Works on its card's own record, which outlives the form.
class EditTunnelForm : public QWidget
{
    Q_OBJECT

public:
    explicit EditTunnelForm(QWidget *parent = nullptr);
    ~EditTunnelForm() override;

    void setTunnel(TunnelRecord *record);

signals:
    void changeSuccess();

private slots:
    void on_pushButton_3_clicked();
    void on_pushButton_4_clicked();

private:
    void changeAnswered(bool flag, const QVariantMap &data);
    void changeFailed(const QString &error);

    TunnelRecord *tunnel = nullptr;
    Ui::EditTunnelForm *ui;
};
