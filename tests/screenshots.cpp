// Renders the client's windows and forms, in representative states, into PNG files, so that
// the interface can be looked at on a machine without a display:
//
//     QT_QPA_PLATFORM=offscreen ./screenshots [directory]     (default ./shots)
//
// To add a window: write one function that registers its states (see addTunnelCardShots) and
// call it from registerAllShots. Each entry builds a fresh widget in the state to show; the
// program grabs it, writes <name>.png and destroys it. The exit code is non-zero when any
// picture could not be written.

#include "core/globals.h"
#include "core/settings.h"
#include "platform/environment.h"
#include "tunnel/requestlog.h"
#include "tunnel/tunnelcontroller.h"
#include "ui/addressqr.h"
#include "ui/createtunnelform.h"
#include "ui/edittunnelform.h"
#include "ui/infosform.h"
#include "ui/logviewer.h"
#include "ui/mainwindow.h"
#include "ui/messagebox.h"
#include "ui/mywindow.h"
#include "ui/requestsform.h"
#include "ui/tunnelsitem.h"
#include "ui/updateform.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFont>
#include <QFontDatabase>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPainter>
#include <QPixmap>
#include <QPushButton>
#include <QSystemTrayIcon>
#include <QTemporaryDir>
#include <QTextStream>

#include <functional>
#include <memory>
#include <vector>

namespace {

using WidgetBuilder = std::function<std::unique_ptr<QWidget>()>;
// Takes the picture of a shown widget; the widget's own grab unless a state lives in another
// window (an open popup, say).
using Capture = std::function<QPixmap(QWidget *)>;

struct Shot
{
    QString name;
    WidgetBuilder build;
    Capture capture;
};

class ShotRegistry
{
public:
    void add(const QString &name, WidgetBuilder build, Capture capture = {})
    {
        shots.push_back({name, std::move(build), std::move(capture)});
    }
    const std::vector<Shot> &all() const { return shots; }

private:
    std::vector<Shot> shots;
};

// Sets the text of the named line edit, button or label of window.
void setText(QWidget *window, const char *name, const QString &text);

// ---- Tunnel card, status window, edit form ----

TunnelRecord sampleRecord(int type)
{
    TunnelRecord record;
    record.id = QStringLiteral("12");
    record.name = QStringLiteral("家里的NAS");
    record.serverPort = 20001;
    record.clientPort = 5000;
    record.type = type;
    // The card probes its local address at once: keep that probe on this machine.
    record.clientIp = QStringLiteral("127.0.0.1");
    record.stopTime = QStringLiteral("2027-01-01 到期");
    record.domain = QStringLiteral("nas.example.com");
    record.serverIp = QStringLiteral("127.0.0.1");
    record.token = QStringLiteral("token");
    record.bdw = 4;
    return record;
}

std::unique_ptr<TunnelsItem> card(int type, const std::vector<std::pair<int, QString>> &events,
                                  int localOk)
{
    auto item = std::make_unique<TunnelsItem>();
    item->InitItem(sampleRecord(type));
    for (const auto &event : events)
        item->tunnelInfoSlot(event.first, event.second);
    if (localOk >= 0)
        item->TestLocalhostResult(localOk == 1);
    return item;
}

// The edit form as a card opens it, on a sample tunnel.
std::unique_ptr<EditTunnelForm> editForm()
{
    static TunnelRecord record = sampleRecord(1);
    auto form = std::make_unique<EditTunnelForm>();
    form->setTunnel(&record);
    return form;
}

QString longLog(int lines)
{
    QString log;
    for (int i = 0; i < lines; ++i)
        log += QStringLiteral("[2026.12.07 22:%1:05.120 Mon] %2\n")
                   .arg(i % 60, 2, 10, QLatin1Char('0'))
                   .arg(i % 3 == 0   ? QStringLiteral("connect server success")
                        : i % 3 == 1 ? QStringLiteral("login success!")
                                     : QStringLiteral("reConnectServerSuccess"));
    return log;
}

} // namespace

// Fills in what a live session would have sampled.
struct CardShots
{
    static std::unique_ptr<TunnelsItem> live(TunnelStatus::State state, const QString &reason)
    {
        auto item = card(1, {{1, QStringLiteral("login success!")}}, 1);
        TunnelStatus &current = item->controller->current;
        current.state = state;
        current.stateReason = reason;
        if (state == TunnelStatus::State::LocalUnreachable) {
            current.localService = TunnelStatus::LocalService::Unreachable;
            current.localReason = reason;
        }
        current.activeConnections = 3;
        current.rateOut = 1.2 * 1024 * 1024;
        current.rateIn = 240 * 1024;
        current.rttMs = 38;
        emit item->controller->statusChanged();
        return item;
    }
    static std::unique_ptr<QWidget> copied()
    {
        auto item = live(TunnelStatus::State::Running, QString());
        item->on_btn_copy_address_clicked();
        return item;
    }
};

namespace {

void addLiveShots(ShotRegistry &r)
{
    r.add(QStringLiteral("card_live"),
          [] { return CardShots::live(TunnelStatus::State::Running, QString()); });
    r.add(QStringLiteral("card_local_unreachable"), [] {
        return CardShots::live(TunnelStatus::State::LocalUnreachable,
                               QStringLiteral("127.0.0.1:5000 (连接被拒绝，本地服务可能未启动)"));
    });
    r.add(QStringLiteral("card_expiring"), [] {
        TunnelRecord record = sampleRecord(1);
        record.stopTime =
            platform::now().addDays(2).toString(QStringLiteral("yyyy-MM-dd hh:mm:ss")) +
            QStringLiteral(" 到期");
        record.name = QStringLiteral("一个名字相当长的隧道用来看看右边的到期日会不会被挤到");
        auto item = std::make_unique<TunnelsItem>();
        item->InitItem(record);
        return item;
    });
    r.add(QStringLiteral("card_no_expiry"), [] {
        TunnelRecord record = sampleRecord(0);
        record.stopTime = QStringLiteral(" 到期");
        auto item = std::make_unique<TunnelsItem>();
        item->InitItem(record);
        return item;
    });
    r.add(QStringLiteral("card_copied"), [] { return CardShots::copied(); });
    r.add(QStringLiteral("card_address_qr"), [] {
        return std::make_unique<AddressQr>(QStringLiteral("http://nas.example.com:20001"), nullptr);
    });
    r.add(QStringLiteral("infos_live"), [] {
        auto form = std::make_unique<InfosForm>();
        form->updateInfo(sampleRecord(1), longLog(12), 12, 12);
        form->updateLive(QStringLiteral("↑ 1.2 MB/s  ↓ 240 KB/s"),
                         QStringLiteral("3 个连接 · 延迟 38 ms"));
        return form;
    });
}

void addRequestAndLogShots(ShotRegistry &r)
{
    r.add(QStringLiteral("requests_list"), [] {
        static auto log = std::make_shared<RequestLog>();
        const QDateTime at(QDate(2026, 12, 10), QTime(12, 30, 5, 120));
        const QList<std::tuple<const char *, const char *, int, qint64, qint64, qint64>> rows{
            {"GET", "/", 200, 412, 5230, 18},
            {"GET", "/static/app.js?v=3", 200, 388, 182044, 96},
            {"POST", "/api/login", 401, 702, 310, 42},
            {"GET", "/favicon.ico", 404, 350, 162, 3},
            {"", "", 0, 15320, 88210, 60450},
            {"GET", "/photos/2026/12/IMG_0042.jpg", 206, 420, 1048576, 830}};
        int i = 0;
        for (const auto &row : rows) {
            RequestEntry e;
            e.time = at.addMSecs(i++ * 731);
            e.method = QString::fromLatin1(std::get<0>(row));
            e.path = QString::fromLatin1(std::get<1>(row));
            e.host = e.isRaw() ? QString() : QStringLiteral("nas.example.com");
            e.status = std::get<2>(row);
            e.bytesIn = std::get<3>(row);
            e.bytesOut = std::get<4>(row);
            e.durationMs = std::get<5>(row);
            log->add(e);
        }
        auto form = std::make_unique<RequestsForm>();
        form->setSource(log, QStringLiteral("nas.example.com"));
        return form;
    });
    r.add(QStringLiteral("log_viewer"), [] {
        // A folder of run logs of its own, as the program keeps them below ./logs.
        static QTemporaryDir dir;
        QDir(dir.path()).mkpath(QStringLiteral("logs"));
        const QString stamp = QStringLiteral("2026_12_10_12_00_00");
        QFile current(dir.filePath(QStringLiteral("logs/") + stamp + QStringLiteral(".log")));
        if (current.open(QIODevice::WriteOnly)) {
            for (int i = 0; i < 40; ++i)
                current.write(QStringLiteral("%1 File:(../tunnel/tunnel.cpp) Line:(%2) %3 "
                                             "(2026-12-10 12:%4:05 周四)\r\n")
                                  .arg(i % 7 == 3 ? "Warning:" : "Debug:")
                                  .arg(100 + i)
                                  .arg(i % 7 == 3 ? QStringLiteral("connect error ! 1")
                                                  : QStringLiteral("发送心跳 nas.example.com"))
                                  .arg(i, 2, 10, QLatin1Char('0'))
                                  .toUtf8());
            current.close();
        }
        QFile(dir.filePath(QStringLiteral("logs/2026_12_09_08_00_00.log")))
            .open(QIODevice::WriteOnly);
        const QString before = QDir::currentPath();
        const QString stampBefore = logFileStamp;
        QDir::setCurrent(dir.path());
        logFileStamp = stamp;
        auto viewer = std::make_unique<LogViewer>();
        viewer->findChild<QLineEdit *>(QStringLiteral("lineEdit_search"))
            ->setText(QStringLiteral("nas"));
        viewer->reload();
        QDir::setCurrent(before);
        logFileStamp = stampBefore;
        return viewer;
    });
}

void addTunnelCardShots(ShotRegistry &r)
{
    addLiveShots(r);
    addRequestAndLogShots(r);
    r.add(QStringLiteral("card_idle"), [] { return card(1, {}, 1); });
    r.add(QStringLiteral("card_idle_web"), [] { return card(0, {}, 0); });
    r.add(QStringLiteral("card_running"), [] {
        return card(1,
                    {{0, QStringLiteral("connect server success")},
                     {0, QStringLiteral("authenticating success,analysising...")},
                     {1, QStringLiteral("login success!")},
                     {12, QStringLiteral("initView刷新隧道信息")}},
                    1);
    });
    r.add(QStringLiteral("card_reconnecting"), [] {
        return card(1,
                    {{1, QStringLiteral("login success!")},
                     {-4, QStringLiteral("Automatic stabilization..., the heartbeat interval "
                                         "timeout：10")}},
                    1);
    });
    r.add(QStringLiteral("card_failed"), [] {
        return card(1,
                    {{-1, QStringLiteral("ConnectServerFail")},
                     {-1, QStringLiteral("服务器连接失败,检查您的本地网络是否稳定，"
                                         "防火墙等是否关闭")}},
                    0);
    });
    r.add(QStringLiteral("infos_empty"), [] { return std::make_unique<InfosForm>(); });
    r.add(QStringLiteral("infos_long_log"), [] {
        auto form = std::make_unique<InfosForm>();
        form->updateInfo(sampleRecord(1), longLog(40), 118, 120);
        return form;
    });
    r.add(QStringLiteral("edit_form"), [] { return editForm(); });
    r.add(QStringLiteral("edit_form_hints"), [] {
        auto form = editForm();
        setText(form.get(), "lineEdit_ip", QStringLiteral("192.168.1"));
        setText(form.get(), "lineEdit_port", QStringLiteral("70000"));
        setText(form.get(), "lineEdit_name", QString(40, QChar(0x7f51)));
        return form;
    });
    r.add(QStringLiteral("edit_form_refused"), [] {
        auto form = editForm();
        setText(form.get(), "lineEdit_port", QStringLiteral("0080"));
        setText(form.get(), "label_5", QStringLiteral("修改失败,该端口已被占用"));
        form->findChild<QPushButton *>(QStringLiteral("pushButton_3"))->setEnabled(false);
        return form;
    });
}

// ---- Home window, updater, exit dialog ----

// The home window saves the account when it opens; a settings file that was not there before
// goes again with the window, so rendering leaves nothing behind.
std::unique_ptr<MyWindow> homeWindow()
{
    currentUserName = QStringLiteral("alice");
    const bool hadSettings = QFile::exists(settingsFilePath());
    auto window = std::make_unique<MyWindow>();
    if (!hadSettings)
        QObject::connect(window.get(), &QObject::destroyed,
                         [] { QFile::remove(settingsFilePath()); });
    return window;
}

void addHomeShots(ShotRegistry &r)
{
    r.add(QStringLiteral("home_loading"), [] { return homeWindow(); });
    r.add(QStringLiteral("home_empty"), [] {
        auto window = homeWindow();
        window->findChild<QLabel *>(QStringLiteral("label_404"))
            ->setText(QStringLiteral("您还没有隧道，免费开通一个吧~"));
        return window;
    });
    r.add(QStringLiteral("home_tunnels"), [] {
        auto window = homeWindow();
        for (int i = 0; i < 3; ++i) {
            TunnelRecord record = sampleRecord(i == 0 ? 0 : 1);
            record.id = QString::number(12 + i);
            record.domain = QStringLiteral("t%1.example.com").arg(i);
            record.name = QStringList{QStringLiteral("家里的NAS"), QStringLiteral("远程桌面"),
                                      QStringLiteral("博客")}
                              .at(i);
            window->initListView(record, i);
        }
        window->findChild<QWidget *>(QStringLiteral("widget_404"))->hide();
        auto *version = window->findChild<QLabel *>(QStringLiteral("label_4"));
        version->setText(version->text() + QStringLiteral(" (需要更新)"));
        window->findChild<QPushButton *>(QStringLiteral("pushButton_7"))->show();
        return window;
    });
    r.add(QStringLiteral("tray_menu"), [] {
        auto window = homeWindow();
        const QStringList names{QStringLiteral("家里的NAS"), QStringLiteral("远程桌面"),
                                QStringLiteral("博客")};
        for (int i = 0; i < names.size(); ++i) {
            TunnelRecord record = sampleRecord(1);
            record.id = QString::number(12 + i);
            record.domain = QStringLiteral("t%1.example.com").arg(i);
            record.name = names.at(i);
            window->initListView(record, i);
        }
        // Running, reconnecting after it ran, stopped.
        const QList<TunnelsItem *> cards = window->findChildren<TunnelsItem *>();
        for (TunnelsItem *card : cards.mid(0, 2))
            card->tunnelInfoSlot(1, QStringLiteral("login success!"));
        cards.at(1)->tunnelInfoSlot(-4, QStringLiteral("心跳超时"));
        QCoreApplication::processEvents();
        // The picture is of the menu alone; the window lives, hidden, as long as the menu.
        auto menu = std::make_unique<QMenu>();
        menu->addActions(window->findChild<QSystemTrayIcon *>()->contextMenu()->actions());
        MyWindow *owner = window.release();
        owner->setParent(menu.get());
        owner->hide();
        return menu;
    });
    r.add(QStringLiteral("updater_offer"), [] {
        auto form = std::make_unique<UpDateForm>();
        form->setData(QStringLiteral("1.0.1"),
                      QStringLiteral("1. 隧道断线后重连更快\n2. 修复托盘图标偶尔不显示的问题"),
                      QStringLiteral("2020.5.29"),
                      QStringLiteral("http://127.0.0.1/a.zip|||http://127.0.0.1/b.dll"));
        form->findChild<QPushButton *>(QStringLiteral("pushButton_2"))
            ->setText(QStringLiteral("暂时跳过:3"));
        return form;
    });
    r.add(QStringLiteral("updater_downloading"), [] {
        auto form = std::make_unique<UpDateForm>();
        form->setData(QStringLiteral("1.0.1"), QStringLiteral("1. 隧道断线后重连更快"),
                      QStringLiteral("2020.5.29"), QStringLiteral("http://127.0.0.1/a.zip"));
        form->networkReplyProgress(60, 100);
        return form;
    });
    r.add(QStringLiteral("updater_failed"), [] {
        auto form = std::make_unique<UpDateForm>();
        form->setData(QStringLiteral("1.0.1"), QStringLiteral("1. 隧道断线后重连更快"),
                      QStringLiteral("2020.5.29"), QStringLiteral("http://127.0.0.1/a.zip"));
        // As a failed download leaves it: the reason below, no percentage on the button.
        setText(form.get(), "label_desc",
                QStringLiteral("Download failed:\nError transferring http://127.0.0.1/a.zip - "
                               "server replied: Not Found."));
        setText(form.get(), "pushButton_state", QStringLiteral("下载失败"));
        return form;
    });
    r.add(QStringLiteral("exit_dialog"), [] {
        // Built as the message box helper builds a box with two custom buttons.
        auto box = std::make_unique<QMessageBox>(
            QMessageBox::Question, QStringLiteral("Borvane"),
            QStringLiteral("确定要完全退出Borvane吗？您的隧道也将被停止"), QMessageBox::NoButton);
        box->addButton(QStringLiteral("完全退出"), QMessageBox::AcceptRole);
        box->addButton(QStringLiteral("最小化到托盘"), QMessageBox::AcceptRole);
        return box;
    });
}

// ---- Sign-in window, create-and-pay form ----

// The sign-in window places the desktop launcher and the autostart entry on a run without
// saved credentials: here they land in a temporary home, and any request goes nowhere.
void keepSignInAway()
{
    static QTemporaryDir home;
    qputenv("HOME", home.path().toUtf8());
    qputenv("XDG_CONFIG_HOME", (home.path() + QStringLiteral("/.config")).toUtf8());
    apiBaseUrl = QStringLiteral("http://127.0.0.52:9/");
}

std::unique_ptr<MainWindow> signInWindow()
{
    auto window = std::make_unique<MainWindow>();
    // Saved credentials of another run would have started a sign-in: show the bare window.
    window->findChild<QLineEdit *>(QStringLiteral("lineEdit_3"))->clear();
    window->findChild<QLineEdit *>(QStringLiteral("lineEdit_4"))->clear();
    window->findChild<QLabel *>(QStringLiteral("label_state"))->clear();
    return window;
}

void setText(QWidget *window, const char *name, const QString &text)
{
    if (auto *edit = window->findChild<QLineEdit *>(QLatin1String(name)))
        edit->setText(text);
    else if (auto *button = window->findChild<QPushButton *>(QLatin1String(name)))
        button->setText(text);
    else if (auto *label = window->findChild<QLabel *>(QLatin1String(name)))
        label->setText(text);
}

// A square of black and white modules that looks like the payment code.
QPixmap sampleQrCode()
{
    const int modules = 29;
    QImage image(modules, modules, QImage::Format_RGB32);
    quint32 seed = 12345;
    for (int y = 0; y < modules; ++y) {
        for (int x = 0; x < modules; ++x) {
            seed = seed * 1103515245 + 12345;
            bool dark = (seed >> 16) & 1;
            for (const QPoint corner :
                 {QPoint(0, 0), QPoint(modules - 7, 0), QPoint(0, modules - 7)}) {
                const int dx = x - corner.x();
                const int dy = y - corner.y();
                if (dx >= 0 && dx < 7 && dy >= 0 && dy < 7)
                    dark = dx == 0 || dx == 6 || dy == 0 || dy == 6 ||
                           (dx >= 2 && dx <= 4 && dy >= 2 && dy <= 4);
            }
            image.setPixel(x, y, dark ? qRgb(0, 0, 0) : qRgb(255, 255, 255));
        }
    }
    return QPixmap::fromImage(image.scaled(232, 232));
}

std::unique_ptr<CreateTunnelForm> createForm(bool chosen)
{
    auto form = std::make_unique<CreateTunnelForm>();
    if (!chosen)
        return form;
    auto *box = form->findChild<QComboBox *>(QStringLiteral("comboBox"));
    box->clear();
    box->addItems(
        {QStringLiteral("月付 10M"), QStringLiteral("季付 10M"), QStringLiteral("永久 2M")});
    setText(form.get(), "bwd_label", QStringLiteral("10Mbps"));
    setText(form.get(), "price_label", QStringLiteral("9.9 元"));
    setText(form.get(), "time_label", QStringLiteral("30天"));
    setText(form.get(), "label_info",
            QStringLiteral("独享 10M 带宽，支持 TCP 与网站隧道，到期前会提醒续费。"));
    setText(form.get(), "label_9",
            QStringLiteral("<b>双十二活动</b><br/>新开隧道首月半价，详情见 "
                           "<a style=\"color:#00aaff\" href=\"http://127.0.0.1:8080\">官网</a>"));
    setText(form.get(), "lineEdit_name", QStringLiteral("家里的NAS"));
    setText(form.get(), "lineEdit_client_ip", QStringLiteral("192.168.1.20"));
    setText(form.get(), "lineEdit_client_port", QStringLiteral("5000"));
    return form;
}

void addSignInShots(ShotRegistry &r)
{
    keepSignInAway();
    r.add(QStringLiteral("signin"), [] { return signInWindow(); });
    r.add(QStringLiteral("signin_retrying"), [] {
        auto window = signInWindow();
        setText(window.get(), "lineEdit_3", QStringLiteral("13800000000"));
        setText(window.get(), "lineEdit_4", QStringLiteral("secret"));
        setText(window.get(), "label_state",
                QStringLiteral("登录失败，准备自动重试中... 原因：Connection refused"));
        return window;
    });
    // A reason longer than the status line's two lines ends in an ellipsis above the link.
    r.add(QStringLiteral("signin_retrying_long"), [] {
        auto window = signInWindow();
        setText(window.get(), "lineEdit_3", QStringLiteral("13800000000"));
        setText(window.get(), "lineEdit_4", QStringLiteral("secret"));
        setText(window.get(), "label_state",
                QStringLiteral("登录失败，准备自动重试中... 原因：Error transferring "
                               "http://127.0.0.1:8080/user/login - server replied: "
                               "Service Unavailable"));
        return window;
    });
    r.add(QStringLiteral("signin_refused"), [] {
        auto window = signInWindow();
        setText(window.get(), "lineEdit_3", QStringLiteral("13800000000"));
        setText(window.get(), "lineEdit_4", QStringLiteral("wrong"));
        setText(window.get(), "label_state", QStringLiteral("密码错误 请重新输入"));
        return window;
    });
    r.add(QStringLiteral("signin_register"), [] {
        auto window = signInWindow();
        window->findChild<QPushButton *>(QStringLiteral("pushButton"))->click();
        setText(window.get(), "lineEdit_5", QStringLiteral("13900000000"));
        setText(window.get(), "lineEdit_6", QStringLiteral("secret"));
        setText(window.get(), "lineEdit_7", QStringLiteral("4821"));
        setText(window.get(), "pushButton_3", QStringLiteral("获取成功"));
        window->findChild<QPushButton *>(QStringLiteral("pushButton_3"))->setEnabled(false);
        setText(window.get(), "label_state", QStringLiteral("验证码已发送"));
        return window;
    });

    r.add(QStringLiteral("create_loading"), [] { return createForm(false); });
    r.add(QStringLiteral("create_choosing"), [] { return createForm(true); });
    // The package list open over the form, drawn where it opens.
    r.add(
        QStringLiteral("create_open_list"), [] { return createForm(true); },
        [](QWidget *form) {
            auto *box = form->findChild<QComboBox *>(QStringLiteral("comboBox"));
            box->setCurrentIndex(1);
            box->showPopup();
            QCoreApplication::processEvents();
            QWidget *popup = box->view()->window();
            QPixmap picture = form->grab();
            QPainter painter(&picture);
            painter.drawPixmap(form->mapFromGlobal(popup->mapToGlobal(QPoint(0, 0))),
                               popup->grab());
            painter.end();
            box->hidePopup();
            return picture;
        });
    r.add(QStringLiteral("create_refused"), [] {
        auto form = createForm(true);
        setText(form.get(), "label_state", QStringLiteral("开通失败,余额不足，请先充值"));
        return form;
    });
    r.add(QStringLiteral("create_payment"), [] {
        auto form = createForm(true);
        auto *order = form->findChild<QPushButton *>(QStringLiteral("pushButton"));
        order->setText(QStringLiteral("等待支付"));
        order->setEnabled(false);
        form->findChild<QWidget *>(QStringLiteral("widget_pay"))->show();
        form->findChild<QLabel *>(QStringLiteral("label_qrcode"))->setPixmap(sampleQrCode());
        return form;
    });
}

void registerAllShots(ShotRegistry &r)
{
    addTunnelCardShots(r);
    addHomeShots(r);
    addSignInShots(r);
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    app.setStyleSheet(QStringLiteral("*{outline:0px;}"));

    const int fontId = QFontDatabase::addApplicationFont(QStringLiteral(":/img/img/font.otf"));
    const QStringList families = QFontDatabase::applicationFontFamilies(fontId);
    if (!families.isEmpty())
        app.setFont(QFont(families.first()));

    const QString dir = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("shots");
    QTextStream out(stdout);
    if (!QDir().mkpath(dir)) {
        out << "cannot create " << dir << "\n";
        return 1;
    }

    // The windows ask the service at once; answers that arrive here show no boxes.
    Environment::Scope environment;
    environment->messageBox = [](const dialogs::Box &) { return -1; };

    ShotRegistry registry;
    registerAllShots(registry);

    int failures = 0;
    for (const Shot &shot : registry.all()) {
        std::unique_ptr<QWidget> widget = shot.build();
        widget->show();
        QCoreApplication::processEvents();
        const QString file = QDir(dir).filePath(shot.name + QStringLiteral(".png"));
        const QPixmap picture = shot.capture ? shot.capture(widget.get()) : widget->grab();
        const bool saved = picture.save(file, "PNG");
        if (!saved || QFileInfo(file).size() == 0) {
            out << "FAILED " << file << "\n";
            ++failures;
        } else {
            out << file << "\n";
        }
    }
    return failures == 0 ? 0 : 1;
}
