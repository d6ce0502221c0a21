#include "mywindow.h"

#include "core/globals.h"
#include "core/settings.h"
#include "net/api.h"
#include "net/httprequest.h"
#include "net/updatecheck.h"
#include "platform/environment.h"
#include "platform/platform.h"
#include "platform/platform_gui.h"
#include "tunnel/tunnelcontroller.h"
#include "tunnel/tunnelregistry.h"
#include "ui/createtunnelform.h"
#include "ui/frameless.h"
#include "ui/messagebox.h"
#include "ui/placement.h"
#include "ui/traymenu.h"
#include "ui/tunnelsitem.h"
#include "ui/updateform.h"

#include "ui_mywindow.h"

#include <QApplication>
#include <QClipboard>
#include <QCloseEvent>
#include <QDebug>
#include <QIcon>
#include <QScrollArea>
#include <QShortcut>
#include <QTimer>
#include <QVBoxLayout>

#include <iterator>

namespace {

constexpr int TrayMessageMs = 5000;
constexpr int ListTopPx = 60;
constexpr int ListBottomMarginPx = 20;
constexpr int ListInitialHeightPx = 1000;
constexpr int CardHeightPx = 146;

// The note handed to the updater with every offer; the updater ignores it.
const char UpdateNote[] = "2020.5.29";

UpDateForm *openUpdater(const UpdateOffer &offer, const QWidget *owner)
{
    auto *form = new UpDateForm;
    form->setData(offer.version, offer.description, QLatin1String(UpdateNote), offer.urls);
    placement::centreOn(form, owner);
    form->show();
    return form;
}

} // namespace

MyWindow::MyWindow(TunnelRegistry *tunnels, QWidget *parent)
    : QWidget(parent), tunnels(tunnels ? tunnels : new TunnelRegistry(this)), ui(new Ui::MyWindow)
{
    ui->setupUi(this);
    new frameless::Drag(this, true);
    qDebug() << "------------";
    qDebug() << "HomeViewInit";

    setAttribute(Qt::WA_TranslucentBackground);
    setWindowFlags(Qt::FramelessWindowHint | Qt::Window);
    frameless::setPanelShadow(ui->widget_bg, QColor(10, 16, 20, 30), 15);

    qDebug() << "ReadHomeConfig";
    writeSetting(QStringLiteral("token"), currentToken);
    writeSetting(QStringLiteral("userid"), currentUserId);

    // Offscreen or without a tray the icon simply never appears; everything else still works.
    tray = new QSystemTrayIcon(this);
    tray->setIcon(QIcon(QStringLiteral(":/img/img/logo1024.png")));
    tray->setToolTip(tr("Borvane"));
    connect(tray, &QSystemTrayIcon::activated, this, &MyWindow::onTrayActivated);
    trayMenu = new TrayMenu(tray, this->tunnels, this);
    connect(trayMenu, &TrayMenu::showWindowRequested, this, &MyWindow::showFromTray);
    connect(trayMenu, &TrayMenu::reloadRequested, this, &MyWindow::reloadTunnelList);
    connect(trayMenu, &TrayMenu::quitRequested, this, &MyWindow::quitCompletely);
    connect(trayMenu, &TrayMenu::toggleRequested, this, [this](TunnelController *tunnel) {
        for (TunnelsItem *card : qAsConst(cardsByDomain)) {
            if (card->tunnelController() == tunnel)
                card->toggleTunnel();
        }
    });
    new QShortcut(QKeySequence::Refresh, this, this, &MyWindow::reloadTunnelList);

    ui->pushButton_7->hide();
    ui->label_2->setText(currentUserName);
    ui->label_4->setText(QStringLiteral("版本 : ") + clientVersion);
    ui->label_11->setOpenExternalLinks(true);

    updates = new UpdateCheck(this);
    connect(updates, &UpdateCheck::upToDate, this, &MyWindow::showUpToDate);
    connect(updates, &UpdateCheck::offered, this, &MyWindow::showOffer);
    connect(updates, &UpdateCheck::refused, this, &MyWindow::showRefusal);
    connect(updates, &UpdateCheck::failed, this, &MyWindow::showBusy);

    update();
    initLayout();
    getTunnelList();
    getNotice();

    refreshTimer = new QTimer(this);
    refreshTimer->setInterval(RefreshIntervalMs);
    connect(refreshTimer, &QTimer::timeout, this, &MyWindow::onRefreshTimeout);
    if (!refreshTimer->isActive())
        refreshTimer->start();

    paymentReloadTimer = new QTimer(this);
    paymentReloadTimer->setSingleShot(true);
    connect(paymentReloadTimer, &QTimer::timeout, this, &MyWindow::onPaymentReloadTimeout);
}

MyWindow::~MyWindow()
{
    delete ui;
}

// ---- Tunnel list ----

void MyWindow::initLayout()
{
    qDebug() << "initLayout";
    const int width = ui->widget_bg->width();
    qs = new QScrollArea(ui->widget_bg);
    qs->setObjectName(QStringLiteral("qs"));
    qs->setGeometry(0, ListTopPx, width, ui->widget_bg->height() - 80);
    qs->setFrameShape(QFrame::NoFrame);
    qs->setStyleSheet(
        QStringLiteral("QScrollArea#qs{ border:none;background-color:rgba(255,255,255,0);"
                       "margin:0px;padding:0px;}"));
    qs->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    qs->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);

    mwidget = new QWidget;
    mwidget->setObjectName(QStringLiteral("mwidget"));
    mwidget->resize(width, ListInitialHeightPx);
    mwidget->setStyleSheet(QStringLiteral(
        "QWidget#mwidget{background-color:rgba(255,255,255,0);margin:0px;padding:0px;}"));
    listLayout = new QVBoxLayout(mwidget);
    listLayout->setContentsMargins(0, 0, 0, 0);
    listLayout->setSpacing(CardSlotHeightPx - CardHeightPx);
    listLayout->setAlignment(Qt::AlignTop | Qt::AlignHCenter);
    // The list's content height is set by hand, so the layout must not resize the content.
    qs->setWidgetResizable(false);
    qs->setWidget(mwidget);
    qs->show();

    // The empty-list panel lies over the list area.
    ui->widget_404->raise();
}

void MyWindow::getTunnelList()
{
    HttpRequest(api::url(api::TunnelList, currentUserId))
        .get(
            this,
            [this](bool flag, const QVariantMap &answer) {
                qDebug() << answer.value(QLatin1String(api::Msg)).toString();
                if (!flag)
                    return;
                const QVariantList list = answer.value(QLatin1String(api::Data)).toList();
                qDebug() << "隧道总数量：" << list.size();
                if (list.isEmpty())
                    ui->label_404->setText(QStringLiteral("您还没有隧道，免费开通一个吧~"));
                else
                    ui->widget_404->hide();
                for (int index = 0; index < list.size(); ++index) {
                    const QVariantMap entry = list.at(index).toMap();
                    qDebug() << api::forLog(entry);
                    const TunnelRecord record = TunnelRecord::fromListEntry(entry);
                    qDebug() << record.name;
                    if (cardsByDomain.contains(record.domain))
                        continue;
                    initListView(record, index);
                }
            },
            [](const QString &error) { qDebug() << "err" << error; });
}

void MyWindow::initListView(const TunnelRecord &record, int index)
{
    qDebug() << "initListView" << record.domain << index;
    if (record.id != QLatin1String("-1")) {
        auto *card = new TunnelsItem(tunnels->add(record));
        card->InitItem(record);
        // Cards keep their designed size; the slot height below assumes it.
        card->setMinimumSize(card->size());
        cardsByDomain.insert(record.domain, card);
        listLayout->addWidget(card);
        qDebug() << "t的高度：" << card->height();
    }
    const int height = CardSlotHeightPx * (index + 1);
    mwidget->resize(ui->widget_bg->width(), height);
    qDebug() << "高度：" << height;
}

void MyWindow::reloadTunnelList()
{
    qDebug() << "进入重载隧道";
    getTunnelList();
}

void MyWindow::on_pushButton_refresh_clicked()
{
    reloadTunnelList();
}

void MyWindow::on_pushButton_login_clicked()
{
    auto *form = new CreateTunnelForm;
    connect(form, &CreateTunnelForm::payDone, this, &MyWindow::reloadTunnelList);
    connect(form, &CreateTunnelForm::paymentShown, this, &MyWindow::reloadAfterPayment);
    placement::centreOn(form, this);
    form->show();
}

// A later payment code starts the round again rather than adding a second one.
void MyWindow::reloadAfterPayment()
{
    paymentReloadsDone = 0;
    paymentReloadTimer->start(PaymentReloadDelaysMs[0]);
}

void MyWindow::onPaymentReloadTimeout()
{
    reloadTunnelList();
    ++paymentReloadsDone;
    if (paymentReloadsDone < int(std::size(PaymentReloadDelaysMs)))
        paymentReloadTimer->start(PaymentReloadDelaysMs[paymentReloadsDone]);
}

// ---- Tray, exit and account switch ----

void MyWindow::onTrayActivated(QSystemTrayIcon::ActivationReason reason)
{
    switch (reason) {
    case QSystemTrayIcon::Trigger:
        showFromTray();
        break;
    case QSystemTrayIcon::DoubleClick:
        show();
        break;
    default:
        break;
    }
}

void MyWindow::showFromTray()
{
    show();
    platform::bringToFront(this);
}

void MyWindow::closeEvent(QCloseEvent *event)
{
    // Alt+F4 or the taskbar's close would hide the window with the tray icon still hidden,
    // leaving the tunnels running in a process the user can no longer reach. Closing from
    // outside goes to the tray instead; only the exit dialog ends the program.
    if (event->spontaneous()) {
        event->ignore();
        minimizeToTray();
        return;
    }
    QWidget::closeEvent(event);
}

void MyWindow::minimizeToTray()
{
    // A window never moved by the program is placed anew by the window manager each time it
    // is shown; pinning the position here brings it back from the tray where the user left it.
    move(pos());
    hide();
    tray->setVisible(true);
    tray->showMessage(QStringLiteral("Borvane已最小化至托盘"),
                      QStringLiteral("Borvane已最小化至托盘"), QSystemTrayIcon::Information,
                      TrayMessageMs);
}

void MyWindow::on_pushButton_2_clicked()
{
    minimizeToTray();
}

void MyWindow::on_pushButton_close_clicked()
{
    const int choice =
        dialogs::show(this, {QMessageBox::Question,
                             QStringLiteral("Borvane"),
                             QStringLiteral("确定要完全退出Borvane吗？您的隧道也将被停止"),
                             {QStringLiteral("完全退出"), QStringLiteral("最小化到托盘")},
                             // Escape and the close button mean the second: back to the tray.
                             {QMessageBox::YesRole, QMessageBox::NoRole}});
    if (choice == 0) {
        quitCompletely();
    } else if (choice == 1) {
        minimizeToTray();
    }
}

// The one way out of the program, from the exit dialog and from the tray's menu: every tunnel
// ends with the process.
void MyWindow::quitCompletely()
{
    tray->hide();
    platform::quit(0);
}

void MyWindow::on_pushButton_3_clicked()
{
    for (const char *key : {"username", "password", "token", "userid"})
        writeSetting(QLatin1String(key), QString());
    // The copy gets the arguments this process was given; the program path is not repeated
    // among them, so switching again and again never lengthens the command line.
    platform::startDetached(QCoreApplication::applicationFilePath(),
                            QCoreApplication::arguments().mid(1));
    platform::quit(0);
}

// ---- Share, links and notice ----

void MyWindow::on_pushButton_5_clicked()
{
    QApplication::clipboard()->setText(QStringLiteral("Borvane内网穿透，免费10Mbps带宽，") +
                                       websiteHost());
    dialogs::information(this, QStringLiteral("提示"), QStringLiteral("已复制到剪切板"));
}

void MyWindow::openServiceLink(const char *path)
{
    HttpRequest(api::url(path))
        .get(
            this,
            [this](bool flag, const QVariantMap &answer) {
                api::logAnswer(answer);
                const QString msg = answer.value(QLatin1String(api::Msg)).toString();
                if (flag)
                    platform::openUrl(answer.value(QLatin1String(api::Data)).toString());
                else
                    dialogs::information(this, QStringLiteral("提示"), msg);
            },
            [this](const QString &error) {
                qDebug() << "err" << error;
                showBusy(error);
            });
}

void MyWindow::on_pushButton_clicked()
{
    openServiceLink(api::GroupLink);
}

void MyWindow::on_pushButton_4_clicked()
{
    openServiceLink(api::ServiceLink);
}

void MyWindow::getNotice()
{
    api::fetchText(api::Notice, this, [this](const QString &text) { ui->label_11->setText(text); });
}

// ---- Update check ----

void MyWindow::update()
{
    updates->check(UpdateCheck::Trigger::Automatic);
}

void MyWindow::on_pushButton_7_clicked()
{
    updates->check(UpdateCheck::Trigger::Manual);
}

void MyWindow::onRefreshTimeout()
{
    updates->checkOnSchedule();
    getNotice();
}

void MyWindow::showUpToDate(UpdateCheck::Trigger trigger)
{
    if (trigger == UpdateCheck::Trigger::Automatic)
        ui->label_4->setText(ui->label_4->text() + QStringLiteral(" (最新版)"));
}

void MyWindow::showOffer(const UpdateOffer &offer, UpdateCheck::Trigger trigger)
{
    // The button's own check opens the updater whatever the offer says; it counts down there.
    if (trigger == UpdateCheck::Trigger::Manual) {
        openUpdater(offer, this);
        return;
    }
    ui->label_4->setText(ui->label_4->text() + QStringLiteral(" (需要更新)"));
    if (offer.mandatory)
        openUpdater(offer, this)->startUpdate();
    else
        ui->pushButton_7->show();
}

void MyWindow::showRefusal(const QString &msg, UpdateCheck::Trigger trigger)
{
    // Only the user who asked hears the service's reason.
    if (trigger == UpdateCheck::Trigger::Manual)
        dialogs::information(this, QStringLiteral("提示"), msg);
}

// A transport failure of a request the user waits on ends in the busy box.
void MyWindow::showBusy(const QString &error)
{
    dialogs::information(this, QStringLiteral("提示"),
                         QStringLiteral("系统繁忙，请稍后重试。") + error);
}
