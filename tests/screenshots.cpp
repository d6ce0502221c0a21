// Renders the client's windows and forms, in representative states, into PNG files, so that
// the interface can be looked at on a machine without a display:
//
//     QT_QPA_PLATFORM=offscreen ./screenshots [directory]     (default ./shots)
//
// To add a window: write one function that registers its states (see addTunnelCardShots) and
// call it from registerAllShots. Each entry builds a fresh widget in the state to show; the
// program grabs it, writes <name>.png and destroys it. The exit code is non-zero when any
// picture could not be written.

#include "app/globals.h"
#include "app/settings.h"
#include "tunnel/tunnelsitem.h"
#include "ui/edittunnelform.h"
#include "ui/infosform.h"
#include "ui/messagebox.h"
#include "ui/mywindow.h"
#include "ui/updateform.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFont>
#include <QFontDatabase>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPixmap>
#include <QPushButton>
#include <QTextStream>

#include <functional>
#include <memory>
#include <vector>

namespace {

using WidgetBuilder = std::function<std::unique_ptr<QWidget>()>;

struct Shot
{
    QString name;
    WidgetBuilder build;
};

class ShotRegistry
{
public:
    void add(const QString &name, WidgetBuilder build)
    {
        shots.push_back({name, std::move(build)});
    }
    const std::vector<Shot> &all() const { return shots; }

private:
    std::vector<Shot> shots;
};

// ---- Tunnel card, status window, edit form ----

TunnelRecord sampleRecord(int type)
{
    TunnelRecord record;
    record.id = QStringLiteral("12");
    record.name = QStringLiteral("家里的NAS");
    record.serverPort = 20001;
    record.clientPort = 5000;
    record.type = type;
    record.clientIp = QStringLiteral("192.168.1.20");
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

void addTunnelCardShots(ShotRegistry &r)
{
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
    r.add(QStringLiteral("edit_form"), [] {
        static TunnelRecord record = sampleRecord(1);
        auto form = std::make_unique<EditTunnelForm>();
        form->setTunnel(&record);
        return form;
    });
    r.add(QStringLiteral("edit_form_refused"), [] {
        static TunnelRecord record = sampleRecord(1);
        auto form = std::make_unique<EditTunnelForm>();
        form->setTunnel(&record);
        form->findChild<QLineEdit *>(QStringLiteral("lineEdit_port"))
            ->setText(QStringLiteral("0080"));
        form->findChild<QLabel *>(QStringLiteral("label_5"))
            ->setText(QStringLiteral("修改失败,该端口已被占用"));
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
    // The home window asks the service at once; answers that arrive here show no boxes.
    dialogs::setHook([](const dialogs::Box &) { return -1; });

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

void registerAllShots(ShotRegistry &r)
{
    addTunnelCardShots(r);
    addHomeShots(r);
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

    ShotRegistry registry;
    registerAllShots(registry);

    int failures = 0;
    for (const Shot &shot : registry.all()) {
        std::unique_ptr<QWidget> widget = shot.build();
        widget->show();
        QCoreApplication::processEvents();
        const QString file = QDir(dir).filePath(shot.name + QStringLiteral(".png"));
        const bool saved = widget->grab().save(file, "PNG");
        if (!saved || QFileInfo(file).size() == 0) {
            out << "FAILED " << file << "\n";
            ++failures;
        } else {
            out << file << "\n";
        }
    }
    return failures == 0 ? 0 : 1;
}
