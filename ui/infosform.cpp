#include "infosform.h"

#include "ui/frameless.h"

#include "ui_infosform.h"

#include <QTextCursor>

InfosForm::InfosForm(QWidget *parent) : QWidget(parent), ui(new Ui::InfosForm)
{
    ui->setupUi(this);
    frameless::makeFloatingForm(this, ui->widget);
}

InfosForm::~InfosForm()
{
    delete ui;
}

void InfosForm::updateInfo(const TunnelRecord &record, const QString &log, int receivedCount,
                           int sentCount)
{
    this->record = record;
    this->log = log;
    this->receivedCount = receivedCount;
    this->sentCount = sentCount;

    // The log carries texts chosen by the relay server (a refusal reason, for one); read as
    // markup they could swallow the line breaks of the whole log, so it is always plain text.
    ui->textEdit->setPlainText(log);
    ui->label_title->setText(record.domain);
    ui->label->setText(QStringLiteral("已发送心跳包：") + QString::number(sentCount));
    ui->label_2->setText(QStringLiteral("已接收心跳包：") + QString::number(receivedCount));
}

void InfosForm::updateLive(const QString &rates, const QString &details)
{
    ui->label_rates->setText(rates);
    ui->label_rates->setToolTip(details);
}

void InfosForm::on_btn_requests_clicked()
{
    emit requestsWanted();
}

void InfosForm::on_btn_logs_clicked()
{
    emit logsWanted();
}

void InfosForm::on_pushButton_clicked()
{
    close();
}

void InfosForm::on_textEdit_textChanged()
{
    QTextCursor cursor = ui->textEdit->textCursor();
    cursor.movePosition(QTextCursor::End, QTextCursor::MoveAnchor);
    ui->textEdit->setTextCursor(cursor);
}
