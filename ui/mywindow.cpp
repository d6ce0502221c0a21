#include "mywindow.h"

#include "app/globals.h"
#include "app/settings.h"
#include "net/api.h"
#include "net/httprequest.h"
#include "platform/environment.h"
#include "platform/platform.h"
#include "platform/platform_gui.h"
#include "ui/createtunnelform.h"
#include "ui/frameless.h"
#include "ui/messagebox.h"
#include "ui/tunnelsitem.h"
#include "ui/updateform.h"

#include "ui_mywindow.h"

#include <QApplication>
#include <QClipboard>
#include <QCloseEvent>
#include <QDebug>
#include <QIcon>
#include <QMouseEvent>
#include <QPointer>
#include <QRegularExpression>
#include <QScrollArea>
#include <QTimer>
#include <QVBoxLayout>

namespace {

constexpr int TrayMessageMs = 5000;
constexpr int ListTopPx = 60;
constexpr int ListBottomMarginPx = 20;
constexpr int ListInitialHeightPx = 1000;
constexpr int CardHeightPx = 146;
constexpr int FirstUpdateHour = 10;
constexpr int LastUpdateHour = 17;

// The note handed to the updater with every offer; the updater ignores it.
const char UpdateNote[] = "2020.5.29";

// The numbers of a dotted decimal version; empty when the text is anything else.
QVector<qulonglong> versionNumbers(const QString &version)
{
    static const QRegularExpression dottedDecimal(QStringLiteral("^\\d+(\\.\\d+)*$"));
    const QString text = version.trimmed();
    if (!dottedDecimal.match(text).hasMatch())
        return {};
    QVector<qulonglong> numbers;
    for (const QString &part : text.split(QLatin1Char('.'))) {
        bool ok = false;
        const qulonglong n = part.toULongLong(&ok);
        if (!ok)
            return {};
        numbers.append(n);
    }
    return numbers;
}

struct UpdateOffer
{
    QString version;
    QString description;
    QString urls;
    int mustUpdate = 0;
};

UpdateOffer readOffer(const QVariantMap &answer)
{
    const QVariantMap data = answer.value(QLatin1String(api::Data)).toMap();
    UpdateOffer offer;
    offer.version = data.value(QStringLiteral("version")).toString();
    offer.description = data.value(QStringLiteral("updateDesc")).toString();
    offer.urls = data.value(QStringLiteral("urls")).toString();
    offer.mustUpdate = data.value(QStringLiteral("mustUpdate")).toInt();
    return offer;
}

UpDateForm *openUpdater(const UpdateOffer &offer)
{
    auto *form = new UpDateForm;
    form->setData(offer.version, offer.description, QLatin1String(UpdateNote), offer.urls);
    form->show();
    return form;
}

// A transport failure of a request the user waits on ends in the busy box, unless the window
// has gone in the meantime.
HttpRequest::FailureHandler busyBox(const QPointer<MyWindow> &self)
{
    return [self](const QString &error) {
        qDebug() << "err" << error;
        if (self)
            dialogs::information(self, QStringLiteral("提示"),
                                 QStringLiteral("系统繁忙，请稍后重试。") + error);
    };
}

} // namespace

MyWindow::MyWindow(QWidget *parent) : QWidget(parent), ui(new Ui::MyWindow)
{
    ui->setupUi(this);
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

    ui->pushButton_7->hide();
    ui->label_2->setText(currentUserName);
    ui->label_4->setText(QStringLiteral("版本 : ") + clientVersion);
    ui->label_11->setOpenExternalLinks(true);

    update();
    initLayout();
    getTunnelList();
    getNotice();

    refreshTimer = new QTimer(this);
    refreshTimer->setInterval(RefreshIntervalMs);
    connect(refreshTimer, &QTimer::timeout, this, &MyWindow::onRefreshTimeout);
    if (!refreshTimer->isActive())
        refreshTimer->start();
}

MyWindow::~MyWindow()
{
    delete ui;
}

bool MyWindow::isNewerVersion(const QString &received, const QString &current)
{
    const QVector<qulonglong> a = versionNumbers(received);
    // Not a version at all: counts as 0, which is never newer.
    if (a.isEmpty())
        return false;
    const QVector<qulonglong> b = versionNumbers(current);
    const int length = qMax(a.size(), b.size());
    for (int i = 0; i < length; ++i) {
        const qulonglong x = a.value(i, 0);
        const qulonglong y = b.value(i, 0);
        if (x != y)
            return x > y;
    }
    return false;
}

bool MyWindow::isUpdateHour(const QTime &time)
{
    return time.hour() >= FirstUpdateHour && time.hour() <= LastUpdateHour;
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
    QPointer<MyWindow> self(this);
    HttpRequest(api::url(api::TunnelList, currentUserId))
        .get(
            [self](bool flag, const QVariantMap &answer) {
                if (!self)
                    return;
                const QString msg = answer.value(QLatin1String(api::Msg)).toString();
                Q_UNUSED(msg)
                if (!flag)
                    return;
                const QVariantList list = answer.value(QLatin1String(api::Data)).toList();
                qDebug() << "隧道总数量：" << list.size();
                if (list.isEmpty())
                    self->ui->label_404->setText(QStringLiteral("您还没有隧道，免费开通一个吧~"));
                else
                    self->ui->widget_404->hide();
                for (int index = 0; index < list.size(); ++index) {
                    const QVariantMap entry = list.at(index).toMap();
                    qDebug() << api::forLog(entry);
                    const TunnelRecord record = TunnelRecord::fromListEntry(entry);
                    qDebug() << record.name;
                    if (self->cardsByDomain.contains(record.domain))
                        continue;
                    self->initListView(record, index);
                }
            },
            [](const QString &error) { qDebug() << "err" << error; });
}

void MyWindow::initListView(const TunnelRecord &record, int index)
{
    qDebug() << "initListView" << record.domain << index;
    if (record.id != QLatin1String("-1")) {
        auto *card = new TunnelsItem;
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

void MyWindow::on_pushButton_login_clicked()
{
    auto *form = new CreateTunnelForm;
    connect(form, &CreateTunnelForm::payDone, this, &MyWindow::reloadTunnelList);
    form->show();
}

// ---- Dragging the frameless window ----

void MyWindow::mousePressEvent(QMouseEvent *event)
{
    frameless::press(event, dragging, pressX, pressY);
    QWidget::mousePressEvent(event);
}

void MyWindow::mouseReleaseEvent(QMouseEvent *event)
{
    dragging = false;
    QWidget::mouseReleaseEvent(event);
}

void MyWindow::mouseMoveEvent(QMouseEvent *event)
{
    frameless::move(this, event, dragging, pressX, pressY);
    QWidget::mouseMoveEvent(event);
}

// ---- Tray, exit and account switch ----

void MyWindow::onTrayActivated(QSystemTrayIcon::ActivationReason reason)
{
    switch (reason) {
    case QSystemTrayIcon::Trigger:
        show();
        platform::bringToFront(this);
        break;
    case QSystemTrayIcon::DoubleClick:
        show();
        break;
    default:
        break;
    }
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
        tray->hide();
        platform::quit(0);
    } else if (choice == 1) {
        minimizeToTray();
    }
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
    QPointer<MyWindow> self(this);
    HttpRequest(api::url(path))
        .get(
            [self](bool flag, const QVariantMap &answer) {
                if (!self)
                    return;
                api::logAnswer(answer);
                const QString msg = answer.value(QLatin1String(api::Msg)).toString();
                if (flag)
                    platform::openUrl(answer.value(QLatin1String(api::Data)).toString());
                else
                    dialogs::information(self, QStringLiteral("提示"), msg);
            },
            busyBox(self));
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
    QPointer<MyWindow> self(this);
    HttpRequest(api::url(api::Notice))
        .get(
            [self](bool flag, const QVariantMap &answer) {
                if (!self)
                    return;
                api::logAnswer(answer);
                if (flag)
                    self->ui->label_11->setText(answer.value(QLatin1String(api::Data)).toString());
            },
            [](const QString &error) { qDebug() << "err" << error; });
}

// ---- Update check ----

void MyWindow::update()
{
    QPointer<MyWindow> self(this);
    HttpRequest(api::url(api::UpdateInfo))
        .get(
            [self](bool flag, const QVariantMap &answer) {
                if (!self)
                    return;
                api::logAnswer(answer);
                if (!flag)
                    return;
                const UpdateOffer offer = readOffer(answer);
                qDebug() << "version:" << offer.version;
                qDebug() << "updateDesc:" << offer.description;
                const bool newer = isNewerVersion(offer.version, clientVersion);
                qDebug() << "------------" << versionNumbers(offer.version)
                         << versionNumbers(clientVersion);
                qDebug() << "=-==========" << offer.version << clientVersion;
                if (!newer) {
                    self->ui->label_4->setText(self->ui->label_4->text() +
                                               QStringLiteral(" (最新版)"));
                    return;
                }
                qDebug() << "需要更新";
                self->ui->label_4->setText(self->ui->label_4->text() +
                                           QStringLiteral(" (需要更新)"));
                if (offer.mustUpdate != 0)
                    openUpdater(offer)->startUpdate();
                else
                    self->ui->pushButton_7->show();
            },
            busyBox(self));
}

void MyWindow::on_pushButton_7_clicked()
{
    QPointer<MyWindow> self(this);
    HttpRequest(api::url(api::UpdateInfo))
        .get(
            [self](bool flag, const QVariantMap &answer) {
                if (!self)
                    return;
                if (!flag) {
                    dialogs::information(self, QStringLiteral("提示"),
                                         answer.value(QLatin1String(api::Msg)).toString());
                    return;
                }
                const UpdateOffer offer = readOffer(answer);
                if (isNewerVersion(offer.version, clientVersion)) {
                    qDebug() << "需要更新 click";
                    openUpdater(offer);
                } else {
                    qDebug() << "不需要更新 click";
                }
            },
            busyBox(self));
}

void MyWindow::onRefreshTimeout()
{
    if (isUpdateHour(platform::now().time()))
        update();
    getNotice();
}
