#include "edittunnelform.h"

#include "ui_edittunnelform.h"

#include "core/globals.h"
#include "core/settings.h"
#include "net/api.h"
#include "net/httprequest.h"
#include "ui/frameless.h"
#include "ui/messagebox.h"

#include <QDebug>

namespace {
const QString AutostartTrue = QStringLiteral("true");
}

EditTunnelForm::EditTunnelForm(QWidget *parent) : QWidget(parent), ui(new Ui::EditTunnelForm)
{
    ui->setupUi(this);
    new frameless::Drag(this);
    setAttribute(Qt::WA_TranslucentBackground);
    setWindowFlags(Qt::Window | Qt::FramelessWindowHint);

    frameless::setPanelShadow(ui->widget, Qt::gray, 8);
}

EditTunnelForm::~EditTunnelForm()
{
    delete ui;
}

void EditTunnelForm::setTunnel(TunnelRecord *record)
{
    tunnel = record;
    if (!tunnel)
        return;
    ui->lineEdit_ip->setText(tunnel->clientIp);
    ui->lineEdit_port->setText(QString::number(tunnel->clientPort));
    ui->lineEdit_name->setText(tunnel->name);
    ui->checkBox->setChecked(readSetting(QStringLiteral("/setting/") + tunnel->domain) ==
                             AutostartTrue);
}

void EditTunnelForm::on_pushButton_3_clicked()
{
    if (!tunnel)
        return;
    const QString ip = ui->lineEdit_ip->text().trimmed();
    const QString name = ui->lineEdit_name->text().trimmed();
    const QString port = ui->lineEdit_port->text().trimmed();
    if (ip.isEmpty() || name.isEmpty() || port.isEmpty()) {
        dialogs::warning(nullptr, QStringLiteral("内容不完整"), QStringLiteral("请填写完整内容"));
        return;
    }

    // The flag is local and takes effect whatever the service says about the rest. An empty
    // domain would address the whole [setting] group instead of one key, so it gets no flag.
    if (!tunnel->domain.isEmpty())
        writeSetting(tunnel->domain, ui->checkBox->isChecked() ? AutostartTrue : QString());

    HttpRequest request(api::url(api::ChangeTunnel));
    request.addHeader(QLatin1String(api::ContentTypeHeader), QLatin1String(api::FormContentType));
    request.addParam(QLatin1String(api::TunnelId), tunnel->id)
        .addParam(QLatin1String(api::TunnelToken), tunnel->token)
        .addParam(QLatin1String(api::ClientIp), ip)
        .addParam(QLatin1String(api::ClientPort), port)
        .addParam(QLatin1String(api::TunnelName), name)
        .addParam(QLatin1String(api::Type), QString::number(tunnel->type));

    // The card may destroy this form (and its record) before the answer arrives.
    request.post(this, &EditTunnelForm::changeAnswered, &EditTunnelForm::changeFailed);
}

void EditTunnelForm::changeAnswered(bool flag, const QVariantMap &data)
{
    const QString msg = data.value(QLatin1String(api::Msg)).toString();
    api::logAnswer(data);
    if (!flag) {
        ui->label_5->setText(msg + QStringLiteral(",") +
                             data.value(QLatin1String(api::Data)).toString());
        ui->pushButton_3->setEnabled(false);
        return;
    }

    qDebug() << "修改成功";
    ui->pushButton_3->setEnabled(false);
    ui->pushButton_3->setText(QStringLiteral("修改成功"));
    ui->pushButton_3->setStyleSheet(
        QStringLiteral("background-color: rgb(43, 177, 43);border:none;color:white;"));
    if (tunnel) {
        tunnel->name = ui->lineEdit_name->text().trimmed();
        tunnel->clientIp = ui->lineEdit_ip->text().trimmed();
        tunnel->clientPort = ui->lineEdit_port->text().trimmed().toInt();
    }
    emit changeSuccess();
    close();
}

void EditTunnelForm::changeFailed(const QString &error)
{
    ui->label_5->setText(QStringLiteral("修改失败：") + error);
    qDebug() << "err" << error;
}

void EditTunnelForm::on_pushButton_4_clicked()
{
    close();
}
