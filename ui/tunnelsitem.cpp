#include "tunnelsitem.h"

#include "ui_tunnelsitem.h"

#include "core/globals.h"
#include "core/settings.h"
#include "net/statustext.h"
#include "platform/environment.h"
#include "platform/platform_gui.h"
#include "tunnel/tunnelcontroller.h"
#include "tunnel/tunnelevent.h"
#include "ui/addressqr.h"
#include "ui/edittunnelform.h"
#include "ui/infosform.h"
#include "ui/logviewer.h"
#include "ui/messagebox.h"
#include "ui/placement.h"
#include "ui/requestsform.h"

#include <QClipboard>
#include <QDateTime>
#include <QDebug>
#include <QGraphicsDropShadowEffect>
#include <QGuiApplication>
#include <QTimer>

namespace {

const QString TextIdle = QStringLiteral("点我启动");
const QString TextStarting = QStringLiteral("启动中");
const QString TextStopping = QStringLiteral("停止中");
const QString TextRunning = QStringLiteral("停止");
const QString TextReconnecting = QStringLiteral("重连中");

const QString IdleStyle = QStringLiteral(
    "QPushButton#tunnel_start{background-color: rgb(40, 148, 243);color: rgb(255, 255, "
    "255);border:none;border-radius:5;}QPushButton#tunnel_start:hover{background-color: rgb(36, "
    "133, 218);}");
const QString RunningStyle = QStringLiteral(
    "QPushButton#tunnel_start{background-color: rgb(190, 54, 30);color: rgb(255, 255, "
    "255);border:none;border-radius:5;font-size:12px;}QPushButton#tunnel_start:hover{background-"
    "color: rgb(156, 53, 43);}");

const QString LogIcon = QStringLiteral(":/img/img/rizhi1.png");
const QString WarningIcon = QStringLiteral(":/img/img/warning.png");

const QString LiveStyle = QStringLiteral("QLabel{color: rgb(90, 98, 112);font-size:12px;}");
const QString WarningLiveStyle = QStringLiteral("QLabel{color: rgb(190, 54, 30);font-size:12px;}");

} // namespace

TunnelsItem::TunnelsItem(QWidget *parent) : TunnelsItem(new TunnelController, parent) {}

TunnelsItem::TunnelsItem(TunnelController *controller, QWidget *parent)
    : QWidget(parent), controller(controller), record(controller->record()), ui(new Ui::TunnelsItem)
{
    ui->setupUi(this);
    // A plain QWidget subclass paints its style sheet background only when asked to.
    setAttribute(Qt::WA_StyledBackground);
    qDebug() << "TunnelsItemInit";

    auto *shadow = new QGraphicsDropShadowEffect(this);
    shadow->setOffset(0, 3);
    shadow->setColor(QColor(154, 154, 154, 85));
    shadow->setBlurRadius(10);
    ui->widget->setGraphicsEffect(shadow);

    ui->btn_warning_info->setProperty("iconSource", LogIcon);

    ui->btn_address_qr->setVisible(AddressQr::isAvailable());

    connect(controller, &TunnelController::tunnelEvent, this,
            [this](int type, const QString &) { showTunnelEvent(type); });
    connect(controller, &TunnelController::statusChanged, this, [this] {
        showState();
        showFigures();
        showLocalTest();
        showExpiry(); // a day may have passed
        emit statusChanged();
    });
    connect(controller, &TunnelController::logChanged, this, &TunnelsItem::showInfo);
    connect(controller, &TunnelController::localTested, this, &TunnelsItem::TestLocalhostOkSignal);
}

TunnelsItem::~TunnelsItem()
{
    qDebug() << "~TunnelsItemInit";
    // The stop would report back into a card that is half gone; it is not needed.
    controller->disconnect(this);
    delete controller;
    delete editForm.data();
    delete requestsForm.data();
    delete infosForm;
    delete ui;
}

void TunnelsItem::InitItem(const TunnelRecord &record)
{
    qDebug() << "InitItem" << record.domain;
    this->record = record;
    initView();
    connect(this, &TunnelsItem::TestLocalhostOkSignal, this, &TunnelsItem::TestLocalhostResult,
            Qt::ConnectionType(Qt::QueuedConnection | Qt::UniqueConnection));
    qDebug() << "TestLocalhost" << this->record.domain;
    TestLocalhost();
    if (!infosForm) {
        infosForm = new InfosForm;
        connect(infosForm, &InfosForm::requestsWanted, this, &TunnelsItem::showRequests);
        connect(infosForm, &InfosForm::logsWanted, this, [] { LogViewer::showShared(); });
    }
    if (readSetting(QStringLiteral("/setting/") + this->record.domain) == QLatin1String("true")) {
        // Shown during the start so that a click in the meantime cannot start a second session.
        ui->tunnel_start->setText(TextStarting);
        controller->autostart();
    }
    ui->tunnel_client_host->setTextInteractionFlags(Qt::TextSelectableByMouse);
    ui->tunnel_server_host->setTextInteractionFlags(Qt::TextSelectableByMouse);
}

void TunnelsItem::initView()
{
    ui->tunnelName->setText(record.name);
    controller->recordChanged();
    showLocalTest();
    if (record.type == 0)
        ui->tunnel_server_host->setText(record.domain);
    else
        ui->tunnel_server_host->setText(record.domain + QStringLiteral(":") +
                                        QString::number(record.serverPort));
    ui->tunnel_server_port->setText(QStringLiteral("80、") + QString::number(record.serverPort));
    ui->tunnel_bandwidth->setText(QString::number(record.bdw) + QStringLiteral("Mbps"));
    showExpiry();
    placeAddressButtons();
}

void TunnelsItem::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    placeAddressButtons(); // the address is measured in its final font only once shown
}

void TunnelsItem::placeAddressButtons()
{
    // Right behind the address text, whatever its length.
    QLabel *address = ui->tunnel_server_host;
    address->ensurePolished();
    const int textEnd = address->x() + address->fontMetrics().horizontalAdvance(address->text());
    const int x = qMin(textEnd + 12, address->geometry().right() - ui->btn_copy_address->width() -
                                         ui->btn_address_qr->width() - 6);
    const int y = address->y() + (address->height() - ui->btn_copy_address->height()) / 2;
    ui->btn_copy_address->move(x, y);
    ui->btn_address_qr->move(x + ui->btn_copy_address->width() + 4, y);
}

void TunnelsItem::TestLocalhost()
{
    // The tunnel keeps what its local service answers; the card shows it as the suffix.
    controller->testLocalService();
}

void TunnelsItem::TestLocalhostResult(bool ok)
{
    controller->setLocalProbeResult(ok);
    showLocalTest();
}

void TunnelsItem::showExpiry()
{
    bool urgent = false;
    const QString text = statustext::expiry(record.stopTime, platform::now(), &urgent);
    if (ui->tunnel_expiry->text() == text && ui->tunnel_expiry->property("urgent") == urgent)
        return;
    ui->tunnel_expiry->setText(text);
    ui->tunnel_expiry->setProperty("urgent", urgent);
    ui->tunnel_expiry->setStyleSheet(urgent ? WarningLiveStyle : LiveStyle);
}

// The suffix is the tunnel's latest word on its local service: the test at a start or an edit,
// then the health check and the visitors while it runs.
void TunnelsItem::showLocalTest()
{
    using Local = TunnelStatus::LocalService;
    QString text = record.clientIp + QStringLiteral(":") + QString::number(record.clientPort);
    switch (controller->status().localService) {
    case Local::Reachable:
        text += QStringLiteral(" -本地通畅");
        break;
    case Local::Unreachable:
        text += QStringLiteral(" -本地不通");
        break;
    case Local::Unknown:
        break;
    }
    if (ui->tunnel_client_host->text() != text)
        ui->tunnel_client_host->setText(text);
}

TunnelStatus TunnelsItem::status() const
{
    return controller->status();
}

bool TunnelsItem::startTunnel()
{
    return controller->start();
}

void TunnelsItem::tunnelInfoSlot(int type, QString info)
{
    controller->tunnelInfo(type, info);
}

void TunnelsItem::showTunnelEvent(int type)
{
    if (type == TunnelEvent::ConnectFailed || type == TunnelEvent::Failed ||
        type == TunnelEvent::SignedInElsewhere) {
        ui->btn_warning_info->setIcon(QIcon(WarningIcon));
        ui->btn_warning_info->setProperty("iconSource", WarningIcon);
    }
    if (type == TunnelEvent::RecordUpdated)
        initView(); // the session has just updated the record
    showInfo();
}

// The start button's text is the tunnel's state.
void TunnelsItem::showState()
{
    using State = TunnelStatus::State;
    QString text;
    QString style;
    switch (controller->status().state) {
    case State::Stopped:
        text = TextIdle;
        style = IdleStyle;
        break;
    case State::Starting:
        text = TextStarting;
        break;
    case State::Running:
    case State::LocalUnreachable:
        text = TextRunning;
        style = RunningStyle;
        break;
    case State::Reconnecting:
        text = TextReconnecting;
        break;
    }
    ui->tunnel_start->setText(text);
    if (!style.isEmpty() && ui->tunnel_start->styleSheet() != style)
        ui->tunnel_start->setStyleSheet(style);
}

void TunnelsItem::showInfo()
{
    if (infosForm)
        infosForm->updateInfo(record, controller->log(), controller->receivedCount(),
                              controller->sentCount());
}

void TunnelsItem::showFigures()
{
    using State = TunnelStatus::State;
    const TunnelStatus current = controller->status();
    QString text;
    const QString figures =
        QStringLiteral("%1 个连接 · ↑ %2 ↓ %3 · 延迟 %4")
            .arg(current.activeConnections)
            .arg(statustext::rate(current.rateOut), statustext::rate(current.rateIn),
                 statustext::roundTrip(current.rttMs));
    switch (current.state) {
    case State::Running:
        text = figures;
        break;
    case State::LocalUnreachable:
        text = QStringLiteral("本地服务不可达：") + current.stateReason;
        break;
    case State::Reconnecting:
        text = QStringLiteral("重连中：") + current.stateReason;
        break;
    case State::Starting:
    case State::Stopped:
        break;
    }
    ui->tunnel_live->setStyleSheet(current.state == State::LocalUnreachable ? WarningLiveStyle
                                                                            : LiveStyle);
    ui->tunnel_live->setToolTip(text);
    ui->tunnel_live->setText(
        ui->tunnel_live->fontMetrics().elidedText(text, Qt::ElideRight, ui->tunnel_live->width()));
    if (infosForm) {
        const bool running =
            current.state == State::Running || current.state == State::LocalUnreachable;
        infosForm->updateLive(
            running ? QStringLiteral("↑ %1  ↓ %2")
                          .arg(statustext::rate(current.rateOut), statustext::rate(current.rateIn))
                    : QString(),
            running ? QStringLiteral("%1 个连接 · 延迟 %2")
                          .arg(current.activeConnections)
                          .arg(statustext::roundTrip(current.rttMs))
                    : QString());
    }
}

void TunnelsItem::openConsoleForUnconfigured()
{
    dialogs::warning(this, QStringLiteral("提示"),
                     QStringLiteral("该隧道暂未配置，请先前往控制台配置该隧道"));
    platform::openUrl(webConsoleTunnelUrl());
}

void TunnelsItem::on_tunnel_start_clicked()
{
    if (!record.isConfigured()) {
        openConsoleForUnconfigured();
        return;
    }

    const QString state = ui->tunnel_start->text();
    if (state == TextStarting || state == TextStopping)
        return;

    if (state == TextRunning || state == TextReconnecting) {
        controller->stop();
        return;
    }

    qDebug() << "TestLocalhost" << record.domain;
    TestLocalhost();
    controller->clearLog();
    ui->tunnel_start->setText(TextStarting);
    // The start blocks for the connect; show the new text before it does.
    ui->tunnel_start->repaint();
    startTunnel();
}

void TunnelsItem::on_btn_warning_info_clicked()
{
    qDebug() << "OpenInfoUI" << record.domain;
    ui->btn_warning_info->setIcon(QIcon(LogIcon));
    ui->btn_warning_info->setProperty("iconSource", LogIcon);
    if (!infosForm)
        return;
    if (!infosForm->isVisible())
        placement::centreOn(infosForm, this);
    infosForm->show();
    infosForm->raise();
    infosForm->activateWindow();
}

void TunnelsItem::showRequests()
{
    if (!requestsForm) {
        requestsForm = new RequestsForm;
        requestsForm->setSource(controller->requests(), record.domain);
        placement::centreOn(requestsForm, infosForm ? static_cast<QWidget *>(infosForm) : this);
    }
    requestsForm->show();
    requestsForm->raise();
    requestsForm->activateWindow();
}

void TunnelsItem::on_btn_edit_clicked()
{
    if (ui->tunnel_start->text() != TextIdle) {
        dialogs::warning(this, QStringLiteral("提示"),
                         QStringLiteral("请先停止隧道，再进行编辑操作"));
        return;
    }
    if (!record.isConfigured()) {
        openConsoleForUnconfigured();
        return;
    }
    if (editForm) {
        disconnect(editForm, &EditTunnelForm::changeSuccess, this, &TunnelsItem::editSuccessSlot);
        delete editForm.data();
    }
    editForm = new EditTunnelForm;
    connect(editForm, &EditTunnelForm::changeSuccess, this, &TunnelsItem::editSuccessSlot);
    editForm->setTunnel(&record);
    placement::centreOn(editForm, this);
    editForm->show();
}

void TunnelsItem::editSuccessSlot()
{
    initView();
    qDebug() << "TestLocalhost";
    TestLocalhost();
}

void TunnelsItem::on_pushButton_clicked()
{
    const QString domain = record.domain;
    const QString text =
        QStringLiteral("若您穿透的为网站等web应用，可直接使用域名访问、无需加端口，默认即为80端口,"
                       "如：\n\n http://") +
        domain + QStringLiteral(" (需要实名)\n 或\n http://") + domain +
        QStringLiteral(":80(需要实名)\n注意：使用Http模式需要实名\n\n\n\n若您穿透的为非网站，如远程"
                       "桌面、数据库、一般应用等，请使用域名+外网端口访问,如：\n") +
        domain + QStringLiteral(":") + QString::number(record.serverPort) +
        QStringLiteral("\n\n有不懂的地方可以添加Borvane官方交流群获取帮助");
    dialogs::information(this, QStringLiteral("提示"), text);
}

void TunnelsItem::on_btn_copy_address_clicked()
{
    QGuiApplication::clipboard()->setText(ui->tunnel_server_host->text());
    ui->btn_copy_address->setText(QStringLiteral("已复制"));
    QTimer::singleShot(CopiedNoticeMs, this,
                       [this] { ui->btn_copy_address->setText(QStringLiteral("复制")); });
}

void TunnelsItem::on_btn_address_qr_clicked()
{
    // A phone opens what the card shows as a web address.
    auto *qr = new AddressQr(QStringLiteral("http://") + ui->tunnel_server_host->text(), this);
    qr->adjustSize();
    const QPoint below = ui->btn_address_qr->mapToGlobal(QPoint(0, ui->btn_address_qr->height()));
    // Below its button, moved as little as needed to stay on the screen.
    qr->move(placement::centredOn(QRect(below, qr->size()), qr->size(),
                                  placement::availableAreaAt(below)));
    qr->show();
}
