#pragma once

#include <QWidget>

namespace Ui {
class CreateTunnelForm;
}

// (being built)
class CreateTunnelForm : public QWidget
{
    Q_OBJECT

public:
    explicit CreateTunnelForm(QWidget *parent = nullptr);
    ~CreateTunnelForm() override;

signals:
    void payDone();

private:
    Ui::CreateTunnelForm *ui;
};
