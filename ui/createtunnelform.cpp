#include "createtunnelform.h"

#include "core/globals.h"
#include "net/api.h"
#include "net/httprequest.h"
#include "platform/platform_gui.h"
#include "ui/frameless.h"

#include "ui_createtunnelform.h"

#include <QDebug>
#include <QPainter>
#include <QPixmap>
#include <QPointer>
#include <QStyleOption>
#include <QStyledItemDelegate>

namespace {

const QString OrderIdleText = QStringLiteral("立即开通");
const QString OrderBusyText = QStringLiteral("请稍等");
const QString IncompleteText = QStringLiteral("请输入完整内容");

} // namespace

CreateTunnelForm::CreateTunnelForm(QWidget *parent) : QWidget(parent), ui(new Ui::CreateTunnelForm)
{
    ui->setupUi(this);
    new frameless::Drag(this, true);
    setWindowFlag(Qt::FramelessWindowHint);
    // The rounded corners of the style sheet show only over a transparent window.
    setAttribute(Qt::WA_TranslucentBackground);
    // The home window makes a new form for every purchase and never reuses a closed one.
    setAttribute(Qt::WA_DeleteOnClose);

    // The default popup of a styled combo box paints its items in the box's own white text
    // whatever the list's style says; a styled delegate lets the list be drawn in this
    // form's dark look, readable.
    ui->comboBox->setItemDelegate(new QStyledItemDelegate(ui->comboBox));

    frameless::setPanelShadow(ui->widget_pay, QColor(0, 0, 0, 30), 30);
    ui->widget_pay->hide();

    getList();
    // Links of the notice open in the browser, through the one door every browser call uses.
    connect(ui->label_9, &QLabel::linkActivated, this,
            [](const QString &link) { platform::openUrl(link); });
    getNotice();
}

CreateTunnelForm::~CreateTunnelForm()
{
    delete ui;
}

QString CreateTunnelForm::durationText(int hours)
{
    if (hours == 0)
        return QStringLiteral("不限时间");
    if (hours < 0)
        return QString();
    if (hours < 24)
        return QString::number(hours) + QStringLiteral(" 小时");
    if (hours % 24 == 0)
        return QString::number(hours / 24) + QStringLiteral("天");
    return QString::number(hours / 24) + QStringLiteral("天") + QString::number(hours % 24) +
           QStringLiteral("小时");
}

void CreateTunnelForm::getList()
{
    HttpRequest(api::url(api::PriceList))
        .get(
            this,
            [this](bool flag, const QVariantMap &data) {
                api::logAnswer(data);
                if (!flag)
                    return;
                ui->comboBox->clear();
                prices = data.value(QLatin1String(api::Data)).toList();
                for (const QVariant &entry : qAsConst(prices)) {
                    qDebug() << api::forLog(entry);
                    ui->comboBox->addItem(entry.toMap().value(QStringLiteral("name")).toString());
                }
            },
            [](const QString &message) { qDebug() << "err" << message; });
}

void CreateTunnelForm::getNotice()
{
    api::fetchText(api::PurchaseNotice, this,
                   [this](const QString &text) { ui->label_9->setText(text); });
}

void CreateTunnelForm::on_comboBox_currentIndexChanged(int index)
{
    if (index < 0 || index >= prices.size())
        return;
    const QVariantMap entry = prices.at(index).toMap();
    ui->bwd_label->setText(QString::number(entry.value(QStringLiteral("bdw")).toInt()) +
                           QStringLiteral("Mbps"));
    ui->price_label->setText(entry.value(QStringLiteral("pay")).toString() + QStringLiteral(" 元"));
    ui->label_info->setText(entry.value(QStringLiteral("info")).toString());
    ui->time_label->setText(durationText(entry.value(QStringLiteral("time")).toInt()));
    qDebug() << api::forLog(entry);
}

void CreateTunnelForm::on_pushButton_clicked()
{
    const QString name = ui->lineEdit_name->text().trimmed();
    const QString ip = ui->lineEdit_client_ip->text().trimmed();
    const QString port = ui->lineEdit_client_port->text().trimmed();
    const int index = ui->comboBox->currentIndex();
    const bool selected = index >= 0 && index < prices.size();
    const int priceId =
        selected ? prices.at(index).toMap().value(QStringLiteral("id")).toInt() : -1;
    if (name.isEmpty() || ip.isEmpty() || port.isEmpty() || priceId == -1) {
        qDebug() << IncompleteText;
        ui->label_state->setText(IncompleteText);
        return;
    }
    if (ui->pushButton->text() == OrderBusyText)
        return;
    ui->pushButton->setText(OrderBusyText);
    // The refusal of an earlier attempt says nothing about this one, and would otherwise stand
    // beside this order's payment code.
    ui->label_state->clear();

    HttpRequest(api::url(api::OrderTunnel))
        .addParam(QLatin1String(api::ClientIp), ip)
        .addParam(QLatin1String(api::TunnelName), name)
        .addParam(QLatin1String(api::ClientPort), port)
        .addParam(QLatin1String(api::Type), QStringLiteral("0"))
        .addParam(QLatin1String(api::PriceId), QString::number(priceId))
        .addHeader(QLatin1String(api::ContentTypeHeader), QLatin1String(api::FormContentType))
        .post(this, &CreateTunnelForm::orderAnswered, &CreateTunnelForm::orderFailed);
}

void CreateTunnelForm::orderFailed(const QString &message)
{
    qDebug() << "err" << message;
    ui->pushButton->setText(OrderIdleText);
    ui->label_state->setText(QStringLiteral("开通失败，请稍后重试:") + message);
}

void CreateTunnelForm::orderAnswered(bool flag, const QVariantMap &data)
{
    ui->pushButton->setText(OrderIdleText);
    qDebug() << "response" << api::forLog(data);
    qDebug() << "msg" << data.value(QLatin1String(api::Msg)).toString();
    const QString payload = data.value(QLatin1String(api::Data)).toString();
    if (!flag) {
        ui->label_state->setText(data.value(QLatin1String(api::Msg)).toString() + QLatin1Char(',') +
                                 payload);
        return;
    }
    if (payload == QLatin1String("TunnelOk")) {
        finishPurchase();
        return;
    }
    showPayment(payload);
}

void CreateTunnelForm::showPayment(const QString &payUrl)
{
    // One form places at most one paid order.
    ui->pushButton->setText(QStringLiteral("等待支付"));
    ui->pushButton->setEnabled(false);
    qDebug() << "payQrcodeUrl:" << payUrl;
    ui->widget_pay->show();

    imageBuffer.clear();
    imageTooLarge = false;
    // The payment URL goes in as received; the account items follow after a second "?".
    HttpRequest(api::url(api::PaymentQrImage, payUrl))
        .fetch(
            this,
            [this](const QByteArray &chunk) {
                if (imageTooLarge)
                    return;
                if (imageBuffer.size() + chunk.size() > MaxQrImageBytes) {
                    imageTooLarge = true;
                    imageBuffer.clear();
                    return;
                }
                imageBuffer.append(chunk);
            },
            [this]() {
                QPixmap image;
                image.loadFromData(imageBuffer);
                ui->label_qrcode->setPixmap(image);
            },
            nullptr);
    // Last: a receiver may close this form.
    emit paymentShown();
}

void CreateTunnelForm::on_pushButton_2_clicked()
{
    close();
}

void CreateTunnelForm::on_pushButton_3_clicked()
{
    finishPurchase();
}

void CreateTunnelForm::finishPurchase()
{
    // A receiver of payDone may destroy this form.
    const QPointer<CreateTunnelForm> self(this);
    emit payDone();
    if (self)
        close();
}

// A translucent window paints no background of its own: draw the style sheet's rounded one.
void CreateTunnelForm::paintEvent(QPaintEvent *event)
{
    QStyleOption option;
    option.initFrom(this);
    QPainter painter(this);
    style()->drawPrimitive(QStyle::PE_Widget, &option, &painter, this);
    QWidget::paintEvent(event);
}
