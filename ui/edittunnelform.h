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

    // What is wrong with a field's trimmed text, in a few words for beside it; empty when the
    // service would take it.
    static QString nameProblem(const QString &name);
    static QString ipProblem(const QString &ip);
    static QString portProblem(const QString &port);
    // The service takes names of up to this many characters.
    static constexpr int MaxNameChars = 32;

signals:
    void changeSuccess();

private slots:
    void on_pushButton_3_clicked();
    void on_pushButton_4_clicked();

private:
    // Shows each field's problem beside it; true when there is none.
    bool checkFields();
    void changeAnswered(bool flag, const QVariantMap &data);
    void changeFailed(const QString &error);

    TunnelRecord *tunnel = nullptr;
    Ui::EditTunnelForm *ui;
};
