#include "tunnelsitem.h"

#include "ui_tunnelsitem.h"

#include "core/globals.h"
#include "core/settings.h"
#include "platform/platform_gui.h"
#include "tunnel/tunnel.h"
#include "ui/edittunnelform.h"
#include "ui/infosform.h"
#include "ui/messagebox.h"
#include "ui/placement.h"

#include <QDateTime>
#include <QDebug>
#include <QFutureWatcher>
#include <QGraphicsDropShadowEffect>
#include <QTcpSocket>
#include <QtConcurrent>

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

// Runs on a thread of the global pool: only copies of the record's values come here.
bool probeLocalService(const QString &domain, const QString &ip, int port)
{
    bool ok = false;
    if (port > 0 && port <= 65535) {
        QTcpSocket probe;
        probe.connectToHost(ip, quint16(port));
        ok = probe.waitForConnected(TunnelsItem::LocalTestTimeoutMs);
        probe.abort();
    }
    qDebug() << (ok ? "TestLocalhost[Ok]" : "TestLocalhost[Error]") << domain << ip << port;
    return ok;
}

} // namespace

TunnelsItem::TunnelsItem(QWidget *parent) : QWidget(parent), ui(new Ui::TunnelsItem)
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
}

TunnelsItem::~TunnelsItem()
{
    qDebug() << "~TunnelsItemInit";
    if (session) {
        // The stop event would come back into a card that is half gone; it is not needed.
        disconnect(session, nullptr, this, nullptr);
        session->TunnelStop();
        session->deleteLater();
        session = nullptr;
    }
    delete editForm.data();
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
    if (!infosForm)
        infosForm = new InfosForm;
    if (readSetting(QStringLiteral("/setting/") + this->record.domain) == QLatin1String("true")) {
        // Shown during the start so that a click in the meantime cannot start a second session.
        ui->tunnel_start->setText(TextStarting);
        startTunnel();
    }
    ui->tunnel_client_host->setTextInteractionFlags(Qt::TextSelectableByMouse);
    ui->tunnel_server_host->setTextInteractionFlags(Qt::TextSelectableByMouse);
}

void TunnelsItem::initView()
{
    ui->tunnelName->setText(record.name);
    ui->tunnel_client_host->setText(record.clientIp + QStringLiteral(":") +
                                    QString::number(record.clientPort));
    if (record.type == 0)
        ui->tunnel_server_host->setText(record.domain);
    else
        ui->tunnel_server_host->setText(record.domain + QStringLiteral(":") +
                                        QString::number(record.serverPort));
    ui->tunnel_server_port->setText(QStringLiteral("80、") + QString::number(record.serverPort));
    ui->tunnel_bandwidth->setText(QString::number(record.bdw) + QStringLiteral("Mbps"));
}

void TunnelsItem::TestLocalhost()
{
    const QString ip = record.clientIp;
    const int port = record.clientPort;
    // The watcher belongs to the card: a probe that ends after the card is gone reports nowhere.
    auto *watcher = new QFutureWatcher<bool>(this);
    connect(watcher, &QFutureWatcher<bool>::finished, this, [this, watcher, ip, port] {
        const bool ok = watcher->result();
        watcher->deleteLater();
        // A probe of an address that has been edited since says nothing about the new one.
        if (ip != record.clientIp || port != record.clientPort)
            return;
        emit TestLocalhostOkSignal(ok);
    });
    // The probe blocks for up to LocalTestTimeoutMs, so it runs on a thread of Qt's global pool
    // and never on the GUI thread; the watcher brings its answer back here.
    watcher->setFuture(QtConcurrent::run(probeLocalService, record.domain, ip, port));
}

void TunnelsItem::TestLocalhostResult(bool ok)
{
    ui->tunnel_client_host->setText(
        record.clientIp + QStringLiteral(":") + QString::number(record.clientPort) +
        (ok ? QStringLiteral(" -本地通畅") : QStringLiteral(" -本地不通")));
}

bool TunnelsItem::startTunnel()
{
    releaseSession();
    // Held locally: the session may already be forgotten (and queued for deletion) by an event
    // it emits from inside TunnelStart.
    auto *tunnel = new Tunnel;
    session = tunnel;
    connect(tunnel, &Tunnel::tunnel_info, this, &TunnelsItem::tunnelInfoSlot);
    tunnel->TunnelInit(&record);
    return tunnel->TunnelStart();
}

void TunnelsItem::releaseSession()
{
    if (!session)
        return;
    disconnect(session, nullptr, this, nullptr);
    // Never deleted on the spot: this may run inside one of the session's own signals, and the
    // session releases its relays without waiting for them.
    session->deleteLater();
    session = nullptr;
}

void TunnelsItem::setIdleStyle()
{
    ui->tunnel_start->setStyleSheet(IdleStyle);
}

void TunnelsItem::setRunningStyle()
{
    ui->tunnel_start->setStyleSheet(RunningStyle);
}

void TunnelsItem::tunnelInfoSlot(int type, QString info)
{
    if (type == -1 || type == -2 || type == -5) {
        ui->btn_warning_info->setIcon(QIcon(WarningIcon));
        ui->btn_warning_info->setProperty("iconSource", WarningIcon);
    }

    switch (type) {
    case 1:
        ui->tunnel_start->setText(TextRunning);
        setRunningStyle();
        break;
    case 10:
        ++receivedCount;
        break;
    case 11:
        ++sentCount;
        break;
    case 12:
        initView();
        break;
    case -1:
        // The failed session stays until the next start replaces it.
        ui->tunnel_start->setText(TextIdle);
        break;
    case -2:
        setIdleStyle();
        if (session)
            session->TunnelStop(); // emits -3, which is handled before the rest of this row
        releaseSession();
        ui->tunnel_start->setText(TextIdle);
        break;
    case -3:
        setIdleStyle();
        releaseSession();
        ui->tunnel_start->setText(TextIdle);
        break;
    case -4:
        qDebug() << "reConn," << record.domain;
        ui->tunnel_start->setText(TextReconnecting);
        break;
    case -5:
        setIdleStyle();
        if (session)
            session->TunnelStop();
        ui->tunnel_start->setText(TextIdle);
        break;
    default:
        break;
    }

    if (type != 10 && type != 11 && type != 12) {
        if (log.size() > LogLimitChars)
            log.clear();
        log +=
            QStringLiteral("[") +
            QDateTime::currentDateTime().toString(QStringLiteral("yyyy.MM.dd hh:mm:ss.zzz ddd")) +
            QStringLiteral("] ") + info + QStringLiteral("\n");
    }

    if (infosForm)
        infosForm->updateInfo(record, log, receivedCount, sentCount);
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
        log += QStringLiteral("人为停止隧道\n");
        if (session) {
            session->TunnelStop();
        } else {
            // Nothing left to stop: only the button was out of date.
            setIdleStyle();
            ui->tunnel_start->setText(TextIdle);
        }
        return;
    }

    qDebug() << "TestLocalhost" << record.domain;
    TestLocalhost();
    log.clear();
    receivedCount = 0;
    sentCount = 0;
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
