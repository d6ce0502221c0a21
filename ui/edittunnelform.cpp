#include "edittunnelform.h"

#include "ui_edittunnelform.h"

#include "core/globals.h"
#include "core/settings.h"
#include "net/api.h"
#include "net/httprequest.h"
#include "ui/frameless.h"
#include "ui/messagebox.h"

#include <QDebug>
#include <QLineEdit>

#include <algorithm>

namespace {
const QString AutostartTrue = QStringLiteral("true");
}

EditTunnelForm::EditTunnelForm(QWidget *parent) : QWidget(parent), ui(new Ui::EditTunnelForm)
{
    ui->setupUi(this);
    frameless::makeFloatingForm(this, ui->widget);
    // Checked as the user types, so that a submit sends only what the service would take.
    for (QLineEdit *field : {ui->lineEdit_name, ui->lineEdit_ip, ui->lineEdit_port})
        connect(field, &QLineEdit::textChanged, this, &EditTunnelForm::checkFields);
}

QString EditTunnelForm::nameProblem(const QString &name)
{
    if (name.isEmpty())
        return QStringLiteral("请填写名称");
    if (name.toUcs4().size() > MaxNameChars)
        return QStringLiteral("名称最多%1个字，现在%2个")
            .arg(MaxNameChars)
            .arg(name.toUcs4().size());
    return QString();
}

QString EditTunnelForm::ipProblem(const QString &ip)
{
    const QString example = QStringLiteral("请填写 IPv4 地址，如 192.168.1.10");
    const QStringList parts = ip.split(QLatin1Char('.'));
    if (ip.isEmpty() || parts.size() != 4)
        return example;
    for (const QString &part : parts) {
        bool ok = false;
        const int value = part.toInt(&ok);
        if (part.isEmpty() || part.size() > 3 || !ok || value < 0 || value > 255 ||
            part.at(0) == QLatin1Char('+') || part.at(0) == QLatin1Char('-'))
            return example;
        // The relay reads such a part as an octal number: 010 would be 8.
        if (part.size() > 1 && part.at(0) == QLatin1Char('0'))
            return QStringLiteral("每段数字不要以 0 开头（%1）").arg(part);
    }
    return QString();
}

QString EditTunnelForm::portProblem(const QString &port)
{
    bool ok = false;
    const int value = port.toInt(&ok);
    const bool digits = !port.isEmpty() && std::all_of(port.begin(), port.end(), [](QChar c) {
        return c >= QLatin1Char('0') && c <= QLatin1Char('9');
    });
    if (!digits || !ok || value < 1 || value > 65535)
        return QStringLiteral("端口须为 1–65535 之间的数字");
    return QString();
}

bool EditTunnelForm::checkFields()
{
    const QList<QPair<QLabel *, QString>> hints{
        {ui->hint_name, nameProblem(ui->lineEdit_name->text().trimmed())},
        {ui->hint_ip, ipProblem(ui->lineEdit_ip->text().trimmed())},
        {ui->hint_port, portProblem(ui->lineEdit_port->text().trimmed())}};
    bool fine = true;
    for (const auto &hint : hints) {
        hint.first->setText(hint.second);
        fine = fine && hint.second.isEmpty();
    }
    return fine;
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
    // What the service would refuse is not sent: the hint beside the field says why.
    if (!checkFields()) {
        const QList<QPair<QLabel *, QLineEdit *>> fields{{ui->hint_name, ui->lineEdit_name},
                                                         {ui->hint_ip, ui->lineEdit_ip},
                                                         {ui->hint_port, ui->lineEdit_port}};
        for (const auto &field : fields) {
            if (!field.first->text().isEmpty()) {
                field.second->setFocus();
                break;
            }
        }
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
