#include "cardfakes.h"
#include "homehttpdouble.h"

#include "core/globals.h"
#include "core/settings.h"
#include "net/updatecheck.h"
#include "net/updatedownload.h"
#include "platform/environment.h"
#include "platform/platform.h"
#include "tunnel/tunnelevent.h"
#include "tunnel/tunnelregistry.h"
#include "ui/createtunnelform.h"
#include "ui/messagebox.h"
#include "ui/mywindow.h"
#include "ui/traymenu.h"
#include "ui/tunnelsitem.h"
#include "ui/updateform.h"

#include <QApplication>
#include <QClipboard>
#include <QLabel>
#include <QLayout>
#include <QMenu>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPushButton>
#include <QScrollArea>
#include <QSettings>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTimer>
#include <QWindow>
#include <QtTest>

#include <algorithm>
#include <memory>

// Records the debug messages written while it lives, passing each on to the handler before it.
class LogCapture
{
public:
    LogCapture()
    {
        captured().clear();
        previous() = qInstallMessageHandler(handler);
    }
    ~LogCapture() { qInstallMessageHandler(previous()); }
    QStringList lines() const { return captured(); }

private:
    static QStringList &captured()
    {
        static QStringList lines;
        return lines;
    }
    static QtMessageHandler &previous()
    {
        static QtMessageHandler handler = nullptr;
        return handler;
    }
    static void handler(QtMsgType type, const QMessageLogContext &context, const QString &message)
    {
        captured().append(message);
        if (previous())
            previous()(type, context, message);
    }
};

// The home window: the tunnel list and its cards, the update check, the refresh timer, the tray,
// the exit dialog, the account switch, the share text, the links and the notice.
class TstMyWindow : public QObject
{
    Q_OBJECT

private:
    HomeHttpDouble server;
    QTemporaryDir downloads;
    QList<dialogs::Box> boxes;
    int boxAnswer = 0;
    QList<int> quits;
    QList<QPair<QString, QStringList>> started;
    QStringList killed;
    QStringList opened;
    std::unique_ptr<Environment::Scope> environment;
    std::unique_ptr<MyWindow> window;

    static const QString listPath;
    // The parts of the windows that only a test reads, read as their friend.
    static const QMap<QString, TunnelsItem *> &cards(const MyWindow &w) { return w.cardsByDomain; }
    static QWidget *listContent(const MyWindow &w) { return w.mwidget; }
    static QScrollArea *listViewport(const MyWindow &w) { return w.qs; }
    static QSystemTrayIcon *trayIcon(const MyWindow &w) { return w.tray; }
    static QTimer *timer(const MyWindow &w) { return w.refreshTimer; }
    static QTimer *paymentTimer(const MyWindow &w) { return w.paymentReloadTimer; }
    static TrayMenu *trayMenu(const MyWindow &w) { return w.trayMenu; }
    static TunnelRegistry *registry(const MyWindow &w) { return w.tunnels; }
    // The tray menu's entry whose text starts with text.
    static QAction *menuEntry(const MyWindow &w, const QString &text)
    {
        for (QAction *action : w.tray->contextMenu()->actions()) {
            if (action->text().startsWith(text))
                return action;
        }
        qFatal("no tray menu entry %s", qPrintable(text));
        return nullptr;
    }
    QDateTime clockNow;
    static bool downloading(const UpDateForm &form) { return form.download->isRunning(); }
    static bool countingDown(const UpDateForm &form) { return form.countdownTimer->isActive(); }

    static QVariantMap tunnel(const QString &id, const QString &domain)
    {
        // Nothing listens on port 9 there: the card's local test fails at once.
        return {{"id", id},
                {"name", "n-" + domain},
                {"domain", domain},
                {"clientIp", "127.0.0.62"},
                {"clientPort", 9},
                {"serverIp", "127.0.0.62"},
                {"serverPort", 20001},
                {"token", "t"},
                {"bdw", 4},
                {"type", 0},
                {"stopTime", "2030-01-01"}};
    }
    void setList(const QVariantList &list, bool flag = true)
    {
        server.setJson(listPath, {{"flag", flag}, {"msg", "ok"}, {"data", list}});
    }
    void setUpdate(const QString &version, int mustUpdate, const QString &urls = QString())
    {
        server.setJson("/app_update/1", {{"flag", true},
                                         {"msg", "ok"},
                                         {"data", QVariantMap{{"version", version},
                                                              {"updateDesc", "better"},
                                                              {"urls", urls},
                                                              {"mustUpdate", mustUpdate}}}});
    }
    // A window whose three start-up requests have been answered.
    MyWindow &open()
    {
        window = std::make_unique<MyWindow>();
        // Generous: a loaded machine may take seconds to answer the first requests.
        [&] {
            QTRY_VERIFY_WITH_TIMEOUT(
                server.count(listPath) == 1 && server.count("/app_update/1") == 1, 20000);
        }();
        return *window;
    }
    std::function<int(const dialogs::Box &)> recordBox()
    {
        return [this](const dialogs::Box &box) {
            boxes.append(box);
            return boxAnswer;
        };
    }
    void setTime(const QTime &time)
    {
        (*environment)->clock = [time] { return QDateTime(QDate(2024, 3, 1), time); };
    }
    template <typename T> T *child(const char *name)
    {
        return window->findChild<T *>(QLatin1String(name));
    }
    QString text(const char *name)
    {
        if (auto *l = child<QLabel>(name))
            return l->text();
        if (auto *b = child<QPushButton>(name))
            return b->text();
        return QString();
    }
    template <typename T> static QList<T *> topLevel()
    {
        QList<T *> found;
        for (QWidget *w : QApplication::topLevelWidgets()) {
            if (auto *t = qobject_cast<T *>(w))
                found.append(t);
        }
        return found;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(downloads.isValid());
        QVERIFY(server.start("127.0.0.60"));
        apiBaseUrl = server.baseUrl();
        currentUserId = "7";
        currentUserName = "alice";
        currentToken = "tok";
    }
    void init()
    {
        environment = std::make_unique<Environment::Scope>();
        (*environment)->messageBox = recordBox();
        (*environment)->quit = [this](int code) { quits.append(code); };
        (*environment)->updateFolder = downloads.path();
        (*environment)->runProcess = [this](const QString &, const QStringList &arguments) {
            killed.append(arguments.last());
            return 0;
        };
        (*environment)->startDetached = [this](const QString &program,
                                               const QStringList &arguments) {
            started.append({program, arguments});
            return true;
        };
        (*environment)->openUrl = [this](const QString &url) { opened.append(url); };
        QFile::remove(settingsFilePath());
        server.paths.clear();
        server.targets.clear();
        boxes.clear();
        boxAnswer = 0;
        quits.clear();
        started.clear();
        killed.clear();
        opened.clear();
        setList({});
        setUpdate(clientVersion, 0);
        server.setJson("/appConfig/bvnotice",
                       {{"flag", true}, {"msg", "ok"}, {"data", "<b>N</b>"}});
    }
    void cleanup()
    {
        window.reset();
        qDeleteAll(topLevel<UpDateForm>());
        qDeleteAll(topLevel<CreateTunnelForm>());
        environment.reset();
        // Card autostart flags and account keys must not leak into other tests.
        QFile::remove(settingsFilePath());
    }

    // ---- Construction and the tunnel list ----

    void startsWithAccountAndVersion()
    {
        MyWindow &w = open();
        QCOMPARE(w.windowTitle(), QStringLiteral("Borvane内网穿透"));
        QCOMPARE(w.size(), QSize(982, 602));
        QCOMPARE(text("label_2"), QStringLiteral("alice"));
        QTRY_COMPARE(text("label_4"), QStringLiteral("版本 : 1.0.0 (最新版)"));
        QVERIFY(child<QPushButton>("pushButton_7")->isHidden());
        QCOMPARE(readSetting("/setting/token"), QStringLiteral("tok"));
        QCOMPARE(readSetting("/setting/userid"), QStringLiteral("7"));
        QVERIFY(!trayIcon(w)->isVisible());
        QVERIFY(timer(w)->isActive());
        QCOMPARE(timer(w)->interval(), 1800000);
        QCOMPARE(listViewport(w)->objectName(), QStringLiteral("qs"));
        QCOMPARE(listViewport(w)->parentWidget(), child<QWidget>("widget_bg"));
        const QWidget *bg = child<QWidget>("widget_bg");
        QCOMPARE(listViewport(w)->geometry(), QRect(0, 60, bg->width(), bg->height() - 80));
        QCOMPARE(listViewport(w)->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
        QCOMPARE(listViewport(w)->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
        QCOMPARE(listContent(w)->objectName(), QStringLiteral("mwidget"));
        // The list request carries the account items and nothing else.
        QCOMPARE(server.targets.value(server.paths.indexOf(listPath)),
                 listPath + QStringLiteral("?userId=7&token=tok"));
        QTRY_COMPARE(text("label_11"), QStringLiteral("<b>N</b>"));
    }

    void threeTunnelsGiveThreeCards()
    {
        setList(
            {tunnel("1", "a.home.test"), tunnel("2", "b.home.test"), tunnel("3", "c.home.test")});
        MyWindow &w = open();
        QTRY_COMPARE(cards(w).size(), 3);
        QCOMPARE(listContent(w)->height(), 480);
        QCOMPARE(listContent(w)->width(), child<QWidget>("widget_bg")->width());
        QVERIFY(child<QWidget>("widget_404")->isHidden());
        QLayout *layout = listContent(w)->layout();
        QCOMPARE(layout->count(), 3);
        QCOMPARE(layout->itemAt(0)->widget(), cards(w).value("a.home.test"));
        QCOMPARE(layout->itemAt(2)->widget(), cards(w).value("c.home.test"));
    }

    void minusOneIdGetsNoCardButSetsHeight()
    {
        setList({tunnel("1", "a.home.test"), tunnel("-1", "b.home.test")});
        MyWindow &w = open();
        QTRY_COMPARE(listContent(w)->height(), 320);
        QCOMPARE(cards(w).keys(), QStringList{"a.home.test"});
        QCOMPARE(listContent(w)->layout()->count(), 1);
    }

    void duplicateDomainGetsOneCard()
    {
        setList({tunnel("1", "a.home.test"), tunnel("2", "a.home.test")});
        MyWindow &w = open();
        QTRY_COMPARE(cards(w).size(), 1);
        QCOMPARE(listContent(w)->layout()->count(), 1);
        // The second entry was passed over, so the height is that of the first position.
        QCOMPARE(listContent(w)->height(), 160);
    }

    void reloadAfterPaymentAppendsOnlyTheNewTunnel()
    {
        setList({tunnel("1", "a.home.test"), tunnel("2", "b.home.test")});
        MyWindow &w = open();
        QTRY_COMPARE(cards(w).size(), 2);
        TunnelsItem *a = cards(w).value("a.home.test");
        TunnelsItem *b = cards(w).value("b.home.test");

        child<QPushButton>("pushButton_login")->click();
        child<QPushButton>("pushButton_login")->click();
        // Each click opens a new form.
        QCOMPARE(topLevel<CreateTunnelForm>().size(), 2);
        setList(
            {tunnel("1", "a.home.test"), tunnel("2", "b.home.test"), tunnel("3", "c.home.test")});
        emit topLevel<CreateTunnelForm>().first()->payDone();
        QTRY_COMPARE(cards(w).size(), 3);
        QCOMPARE(server.count(listPath), 2);
        QCOMPARE(cards(w).value("a.home.test"), a);
        QCOMPARE(cards(w).value("b.home.test"), b);
        QLayout *layout = listContent(w)->layout();
        QCOMPARE(layout->count(), 3);
        QCOMPARE(layout->itemAt(2)->widget(), cards(w).value("c.home.test"));
        QCOMPARE(listContent(w)->height(), 480);
    }

    void emptyListShowsTheInvitation()
    {
        window = std::make_unique<MyWindow>();
        MyWindow &w = *window;
        QCOMPARE(child<QLabel>("label_404")->text(),
                 QStringLiteral("隧道加载中..请您稍等一下（゜▽＾*））"));
        QTRY_COMPARE(child<QLabel>("label_404")->text(),
                     QStringLiteral("您还没有隧道，免费开通一个吧~"));
        QVERIFY(!child<QWidget>("widget_404")->isHidden());
        QVERIFY(cards(w).isEmpty());
    }

    void emptyReloadKeepsCards()
    {
        setList({tunnel("1", "a.home.test")});
        MyWindow &w = open();
        QTRY_COMPARE(cards(w).size(), 1);
        setList({});
        w.reloadTunnelList();
        QTRY_COMPARE(child<QLabel>("label_404")->text(),
                     QStringLiteral("您还没有隧道，免费开通一个吧~"));
        QVERIFY(child<QWidget>("widget_404")->isHidden());
        QCOMPARE(cards(w).size(), 1);
    }

    void refusedListKeepsLoading()
    {
        setList({tunnel("1", "a.home.test")}, false);
        MyWindow &w = open();
        // The notice arrives after the list was answered; by then nothing may have changed.
        QTRY_COMPARE(text("label_11"), QStringLiteral("<b>N</b>"));
        QTRY_VERIFY(text("label_4").contains("最新版"));
        QCOMPARE(child<QLabel>("label_404")->text(),
                 QStringLiteral("隧道加载中..请您稍等一下（゜▽＾*））"));
        QVERIFY(cards(w).isEmpty());
        QVERIFY(boxes.isEmpty());
    }

    // ---- Update check ----

    void optionalUpdateOffersTheButton()
    {
        LogCapture log;
        setUpdate("1.0.1", 0);
        open();
        QTRY_COMPARE(text("label_4"), QStringLiteral("版本 : 1.0.0 (需要更新)"));
        // The two versions as numbers, their digits read together.
        QVERIFY2(log.lines().contains(QStringLiteral("------------ 101 100")),
                 qPrintable(log.lines().join('\n')));
        QVERIFY(!child<QPushButton>("pushButton_7")->isHidden());
        QVERIFY(topLevel<UpDateForm>().isEmpty());
    }

    void forcedUpdateStartsAtOnce()
    {
        HomeHttpDouble::Answer file;
        file.body = "next version";
        server.setAnswer("/files/next.bin", file);
        setUpdate("1.0.1", 1, server.baseUrl() + "files/next.bin");
        open();
        QTRY_COMPARE(topLevel<UpDateForm>().size(), 1);
        UpDateForm *form = topLevel<UpDateForm>().first();
        QVERIFY(form->isVisible());
        QCOMPARE(form->findChild<QLabel *>("label_title")->text(),
                 QStringLiteral("Borvane-版本更新-1.0.1(1)"));
        QVERIFY(!countingDown(*form));
        // The updater's own quit: the home window has none to make here.
        QTRY_COMPARE(quits, QList<int>{0});
        QCOMPARE(killed, UpDateForm::buttonCleanupNames());
        QCOMPARE(started.size(), 1);
        QVERIFY(started.first().first.endsWith("/" + platform::updaterExecutableName()));
        QFile f(downloads.filePath("next.bin"));
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(f.readAll(), QByteArray("next version"));
        QCOMPARE(text("label_4"), QStringLiteral("版本 : 1.0.0 (需要更新)"));
        QVERIFY(child<QPushButton>("pushButton_7")->isHidden());
    }

    void eachCheckAppendsAgain()
    {
        MyWindow &w = open();
        QTRY_COMPARE(text("label_4"), QStringLiteral("版本 : 1.0.0 (最新版)"));
        w.update();
        QTRY_COMPARE(text("label_4"), QStringLiteral("版本 : 1.0.0 (最新版) (最新版)"));
        QVERIFY(topLevel<UpDateForm>().isEmpty());
    }

    void unreachableUpdateShowsBusyBox()
    {
        server.setStatus("/app_update/1", 500);
        open();
        QTRY_COMPARE(boxes.size(), 1);
        QCOMPARE(boxes.first().title, QStringLiteral("提示"));
        QVERIFY(boxes.first().text.startsWith(QStringLiteral("系统繁忙，请稍后重试。")));
        QVERIFY(boxes.first().text.size() > QStringLiteral("系统繁忙，请稍后重试。").size());
        QCOMPARE(text("label_4"), QStringLiteral("版本 : 1.0.0"));

        // Ticks: outside 10:00-17:59 only the notice is fetched, so no box; inside, the box again.
        setTime(QTime(18, 0));
        QVERIFY(QMetaObject::invokeMethod(window.get(), "onRefreshTimeout"));
        QTRY_COMPARE(server.count("/appConfig/bvnotice"), 2);
        setTime(QTime(10, 0));
        QVERIFY(QMetaObject::invokeMethod(window.get(), "onRefreshTimeout"));
        QTRY_COMPARE(boxes.size(), 2);
        QVERIFY(boxes.last().text.startsWith(QStringLiteral("系统繁忙，请稍后重试。")));
        QCOMPARE(server.count("/app_update/1"), 2);
    }

    void refusedUpdateIsQuietUnlessAsked()
    {
        server.setJson("/app_update/1", {{"flag", false}, {"msg", "稍后再试"}});
        open();
        QTRY_COMPARE(text("label_11"), QStringLiteral("<b>N</b>"));
        QTRY_COMPARE(server.count("/app_update/1"), 1);
        child<QPushButton>("pushButton_7")->click();
        QTRY_COMPARE(boxes.size(), 1);
        QCOMPARE(boxes.first().title, QStringLiteral("提示"));
        QCOMPARE(boxes.first().text, QStringLiteral("稍后再试"));
        QCOMPARE(text("label_4"), QStringLiteral("版本 : 1.0.0"));
    }

    void manualCheckOpensTheUpdaterWithoutStarting()
    {
        setUpdate("1.0.1", 1, server.baseUrl() + "files/manual.bin");
        open();
        QTRY_COMPARE(topLevel<UpDateForm>().size(), 1);
        qDeleteAll(topLevel<UpDateForm>());
        killed.clear();
        // The button ignores mustUpdate: the window opens and counts down.
        child<QPushButton>("pushButton_7")->click();
        QTRY_COMPARE(topLevel<UpDateForm>().size(), 1);
        UpDateForm *form = topLevel<UpDateForm>().first();
        QVERIFY(form->isVisible());
        QVERIFY(countingDown(*form));
        QVERIFY(!downloading(*form));
        QVERIFY(killed.isEmpty());
        // Not newer: nothing is shown. Its log line tells that the answer has been handled.
        delete form;
        setUpdate(clientVersion, 0);
        LogCapture log;
        child<QPushButton>("pushButton_7")->click();
        QTRY_VERIFY(log.lines().contains(QStringLiteral("不需要更新 click")));
        QCOMPARE(server.count("/app_update/1"), 3);
        QVERIFY(topLevel<UpDateForm>().isEmpty());
        QVERIFY(boxes.isEmpty());
    }

    void versionComparison_data()
    {
        QTest::addColumn<QString>("received");
        QTest::addColumn<QString>("current");
        QTest::addColumn<bool>("newer");
        QTest::newRow("patch") << "1.0.1"
                               << "1.0.0" << true;
        QTest::newRow("same") << "1.0.0"
                              << "1.0.0" << false;
        QTest::newRow("older") << "0.9.9"
                               << "1.0.0" << false;
        QTest::newRow("two-digit part is not joined") << "1.0.10"
                                                      << "1.1.0" << false;
        QTest::newRow("minor beats long patch") << "1.1.0"
                                                << "1.0.10" << true;
        QTest::newRow("shorter equal") << "1.0"
                                       << "1.0.0" << false;
        QTest::newRow("longer") << "1.0.0.1"
                                << "1.0.0" << true;
        QTest::newRow("not a number") << "v2"
                                      << "1.0.0" << false;
        QTest::newRow("empty") << ""
                               << "1.0.0" << false;
        QTest::newRow("empty part") << "1..1"
                                    << "1.0.0" << false;
        QTest::newRow("huge part") << "99999999999999999999999.0"
                                   << "1.0.0" << false;
        QTest::newRow("spaces") << " 1.0.1 "
                                << "1.0.0" << true;
    }
    void versionComparison()
    {
        QFETCH(QString, received);
        QFETCH(QString, current);
        QFETCH(bool, newer);
        QCOMPARE(UpdateCheck::isNewerVersion(received, current), newer);
    }

    void timerHourRule_data()
    {
        QTest::addColumn<QTime>("time");
        QTest::addColumn<bool>("checks");
        QTest::newRow("09:59") << QTime(9, 59, 59) << false;
        QTest::newRow("10:00") << QTime(10, 0) << true;
        QTest::newRow("17:59") << QTime(17, 59, 59) << true;
        QTest::newRow("18:00") << QTime(18, 0) << false;
    }
    void timerHourRule()
    {
        QFETCH(QTime, time);
        QFETCH(bool, checks);
        QCOMPARE(UpdateCheck::isUpdateHour(time), checks);

        MyWindow &w = open();
        QTRY_COMPARE(server.count("/appConfig/bvnotice"), 1);
        QTRY_COMPARE(text("label_4"), QStringLiteral("版本 : 1.0.0 (最新版)"));
        setTime(time);
        QVERIFY(QMetaObject::invokeMethod(&w, "onRefreshTimeout"));
        QTRY_COMPARE(server.count("/appConfig/bvnotice"), 2);
        // A tick in the allowed hours is the barrier: whatever the first tick sent has
        // arrived by the time the barrier's notice request has.
        setTime(QTime(12, 0));
        QVERIFY(QMetaObject::invokeMethod(&w, "onRefreshTimeout"));
        QTRY_COMPARE(server.count("/appConfig/bvnotice"), 3);
        const int expectedChecks = 1 + (checks ? 1 : 0) + 1;
        QTRY_COMPARE(server.count("/app_update/1"), expectedChecks);
        QTRY_COMPARE(text("label_4").count(QStringLiteral("(最新版)")), expectedChecks);
        QCOMPARE(server.count("/app_update/1"), expectedChecks);
    }

    // ---- Tray, exit dialog and account switch ----

    void minimiseAndTrayActivation()
    {
        MyWindow &w = open();
        w.show();
        child<QPushButton>("pushButton_2")->click();
        QVERIFY(!w.isVisible());
        QVERIFY(trayIcon(w)->isVisible());
        QCOMPARE(trayIcon(w)->toolTip(), QStringLiteral("Borvane"));
        emit trayIcon(w)->activated(QSystemTrayIcon::Context);
        QVERIFY(!w.isVisible());
        emit trayIcon(w)->activated(QSystemTrayIcon::MiddleClick);
        QVERIFY(!w.isVisible());
        emit trayIcon(w)->activated(QSystemTrayIcon::Trigger);
        QVERIFY(w.isVisible());
        w.hide();
        emit trayIcon(w)->activated(QSystemTrayIcon::DoubleClick);
        QVERIFY(w.isVisible());
        QVERIFY(trayIcon(w)->isVisible());
    }

    // The tray menu starts and stops a tunnel through its card, tells when its local service
    // cannot be reached, shows the window, reloads the list and quits as the exit dialog does.
    void trayMenuReachesTheCards()
    {
        QTcpServer local;
        QVERIFY(local.listen(QHostAddress("127.0.0.174")));
        const quint16 port = local.serverPort();
        FakeControlRelay relay;
        QVERIFY(relay.start(QHostAddress("127.0.0.174")));
        // The sign-in rewrites the card's record from these.
        relay.loginInfo = {{"name", "NAS"},
                           {"serverIp", "127.0.0.174"},
                           {"domain", "a.home.test"},
                           {"bdw", 4},
                           {"clientPort", local.serverPort()}};
        QVariantMap entry = tunnel("1", "a.home.test");
        entry["serverIp"] = "127.0.0.174";
        entry["clientIp"] = "127.0.0.174";
        entry["clientPort"] = local.serverPort();
        entry["name"] = "NAS";
        setList({entry});
        MyWindow &w = open();
        QTRY_COMPARE(cards(w).size(), 1);
        TunnelsItem *card = cards(w).value("a.home.test");
        QAction *start = menuEntry(w, "NAS");
        QCOMPARE(start->text(), QStringLiteral("NAS · 已停止\t启动"));
        start->trigger();
        QTRY_COMPARE(card->status().state, TunnelStatus::State::Running);
        QTRY_COMPARE(start->text(), QStringLiteral("NAS · 运行中\t停止"));
        // A start from the tray tests the local service as the card's own button does.
        const auto localTest = [card] {
            return card->findChild<QLabel *>(QStringLiteral("tunnel_client_host"))->text();
        };
        QTRY_VERIFY(localTest().endsWith(QStringLiteral(" -本地通畅")));
        QTRY_COMPARE(trayIcon(w)->toolTip(), QStringLiteral("Borvane\nNAS：运行中，0 个连接"));
        // What the status API shows is what the cards show.
        QTRY_COMPARE(registry(w)->board()->snapshot().value(0).state, TunnelStatus::State::Running);
        start->trigger();
        QTRY_COMPARE(card->status().state, TunnelStatus::State::Stopped);
        QTRY_COMPARE(start->text(), QStringLiteral("NAS · 已停止\t启动"));
        QTRY_COMPARE(trayIcon(w)->toolTip(), QStringLiteral("Borvane"));

        // Started again with the local service gone: the card's test fails, the tray tells.
        local.close();
        trayIcon(w)->show();
        QSignalSpy shown(trayMenu(w), &TrayMenu::messageShown);
        start->trigger();
        QVERIFY(shown.wait());
        QCOMPARE(shown.first().at(0).toString(), QStringLiteral("本地服务不可达：NAS"));
        QVERIFY(shown.first().at(1).toString().contains("127.0.0.174"));
        QTRY_COMPARE(start->text(), QStringLiteral("NAS · 本地服务不可达\t停止"));
        QCOMPARE(localTest(), QStringLiteral("127.0.0.174:%1 -本地不通").arg(port));
        start->trigger();
        QTRY_COMPARE(card->status().state, TunnelStatus::State::Stopped);

        w.hide();
        menuEntry(w, "显示主界面")->trigger();
        QVERIFY(w.isVisible());
        menuEntry(w, "刷新隧道列表")->trigger();
        QTRY_COMPARE(server.count(listPath), 2);
        QCOMPARE(cards(w).size(), 1);
        menuEntry(w, "完全退出")->trigger();
        QVERIFY(boxes.isEmpty());
        QVERIFY(!trayIcon(w)->isVisible());
        QCOMPARE(quits, QList<int>{0});
        QCOMPARE(shown.count(), 1);
    }

    void trayBalloonsAtMostOncePerMinute()
    {
        QVariantMap entry = tunnel("1", "a.home.test");
        entry["name"] = "NAS";
        setList({entry});
        MyWindow &w = open();
        QTRY_COMPARE(cards(w).size(), 1);
        TunnelsItem *card = cards(w).value("a.home.test");
        QSignalSpy shown(trayMenu(w), &TrayMenu::messageShown);
        clockNow = QDateTime(QDate(2024, 3, 1), QTime(12, 0));
        (*environment)->clock = [this] { return clockNow; };
        const auto dropAndComeBack = [card] {
            card->tunnelInfoSlot(TunnelEvent::Reconnecting, QStringLiteral("心跳超时"));
            card->tunnelInfoSlot(TunnelEvent::SignedIn, QStringLiteral("login success!"));
        };
        card->tunnelInfoSlot(TunnelEvent::SignedIn, QStringLiteral("login success!"));
        // The hidden icon says nothing; the window shows the card.
        dropAndComeBack();
        QCOMPARE(shown.count(), 0);

        trayIcon(w)->show();
        dropAndComeBack();
        QCOMPARE(shown.count(), 2);
        QCOMPARE(shown.at(0).at(0).toString(), QStringLiteral("隧道已断开：NAS"));
        QCOMPARE(shown.at(0).at(1).toString(), QStringLiteral("正在重连：心跳超时"));
        QCOMPARE(shown.at(1).at(0).toString(), QStringLiteral("隧道已恢复：NAS"));
        clockNow = clockNow.addSecs(59);
        dropAndComeBack();
        dropAndComeBack();
        QCOMPARE(shown.count(), 2);
        clockNow = clockNow.addSecs(2);
        dropAndComeBack();
        QCOMPARE(shown.count(), 4);
        // A stop is the user's own doing: no balloon, and no return to announce.
        card->tunnelInfoSlot(TunnelEvent::Reconnecting, QStringLiteral("心跳超时"));
        card->tunnelInfoSlot(TunnelEvent::Stopped, QStringLiteral("stop"));
        QCOMPARE(shown.count(), 4);
    }

    void refreshAndReloadsAfterPayment()
    {
        setList({tunnel("1", "a.home.test")});
        MyWindow &w = open();
        QTRY_COMPARE(cards(w).size(), 1);
        TunnelsItem *a = cards(w).value("a.home.test");
        auto *refresh = child<QPushButton>("pushButton_refresh");
        // Below the list, inside the panel, clear of every specified object.
        QVERIFY(child<QWidget>("widget_bg")->rect().contains(refresh->geometry()));
        for (const char *name : {"widget_404", "pushButton", "pushButton_4", "pushButton_5"})
            QVERIFY2(!child<QWidget>(name)->geometry().intersects(refresh->geometry()), name);
        QVERIFY(!listViewport(w)->geometry().intersects(refresh->geometry()));
        setList({tunnel("1", "a.home.test"), tunnel("2", "b.home.test")});
        refresh->click();
        QTRY_COMPARE(cards(w).size(), 2);
        QCOMPARE(server.count(listPath), 2);

        child<QPushButton>("pushButton_login")->click();
        emit topLevel<CreateTunnelForm>().first()->paymentShown();
        const int rounds = int(std::size(MyWindow::PaymentReloadDelaysMs));
        for (int i = 0; i < rounds; ++i) {
            QVERIFY(paymentTimer(w)->isActive());
            QCOMPARE(paymentTimer(w)->interval(), MyWindow::PaymentReloadDelaysMs[i]);
            // As the single-shot timer fires: it is inactive when its slot runs.
            paymentTimer(w)->stop();
            QVERIFY(QMetaObject::invokeMethod(&w, "onPaymentReloadTimeout"));
            QTRY_COMPARE(server.count(listPath), 3 + i);
        }
        // Bounded: the round ends by itself.
        QVERIFY(!paymentTimer(w)->isActive());
        QCOMPARE(cards(w).size(), 2);
        QCOMPARE(cards(w).value("a.home.test"), a);
    }

    void closingFromOutsideGoesToTheTray()
    {
        MyWindow &w = open();
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        // What Alt+F4 or the taskbar does: a close request from the window system.
        QVERIFY(w.windowHandle());
        w.windowHandle()->close();
        QTRY_VERIFY(!w.isVisible());
        QVERIFY(trayIcon(w)->isVisible());
        QVERIFY(quits.isEmpty());
        QVERIFY(boxes.isEmpty());
        // The tray brings it back.
        emit trayIcon(w)->activated(QSystemTrayIcon::Trigger);
        QVERIFY(w.isVisible());
        // A close from the program itself (the session ending closes every window this way)
        // is still accepted, or it would hold up the log-off.
        QVERIFY(w.close());
        QVERIFY(!w.isVisible());
    }

    void exitDialogQuits()
    {
        MyWindow &w = open();
        w.show();
        trayIcon(w)->show();
        boxAnswer = 0;
        child<QPushButton>("pushButton_close")->click();
        QCOMPARE(boxes.size(), 1);
        QCOMPARE(boxes.first().icon, QMessageBox::Question);
        QCOMPARE(boxes.first().title, QStringLiteral("Borvane"));
        QCOMPARE(boxes.first().text, QStringLiteral("确定要完全退出Borvane吗？您的隧道也将被停止"));
        QCOMPARE(boxes.first().buttons,
                 (QStringList{QStringLiteral("完全退出"), QStringLiteral("最小化到托盘")}));
        QCOMPARE(boxes.first().roles,
                 (QList<QMessageBox::ButtonRole>{QMessageBox::YesRole, QMessageBox::NoRole}));
        QVERIFY(!trayIcon(w)->isVisible());
        QCOMPARE(quits, QList<int>{0});
    }

    void exitDialogMinimisesOrDoesNothing()
    {
        MyWindow &w = open();
        w.show();
        boxAnswer = 1;
        child<QPushButton>("pushButton_close")->click();
        QVERIFY(!w.isVisible());
        QVERIFY(trayIcon(w)->isVisible());
        QVERIFY(quits.isEmpty());

        w.show();
        boxAnswer = -1;
        child<QPushButton>("pushButton_close")->click();
        QVERIFY(w.isVisible());
        QVERIFY(quits.isEmpty());
    }

    void exitDialogEscapeMeansTheTray()
    {
        MyWindow &w = open();
        w.show();
        // A real box this time: Escape must choose the no-role button, as the user expects.
        QList<QMessageBox::ButtonRole> roles;
        bool seen = false;
        QTimer::singleShot(0, [&] {
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            if (!box)
                return;
            seen = true;
            for (QAbstractButton *b : box->buttons())
                roles.append(box->buttonRole(b));
            QTest::keyClick(box, Qt::Key_Escape);
            // Never leave the test waiting on a box that Escape did not close.
            if (box->isVisible())
                box->done(-1);
        });
        {
            Environment::Scope realBoxes(**environment);
            realBoxes->messageBox = {};
            child<QPushButton>("pushButton_close")->click();
        }
        QVERIFY(seen);
        std::sort(roles.begin(), roles.end());
        QCOMPARE(roles,
                 (QList<QMessageBox::ButtonRole>{QMessageBox::YesRole, QMessageBox::NoRole}));
        QVERIFY(!w.isVisible());
        QVERIFY(trayIcon(w)->isVisible());
        QVERIFY(quits.isEmpty());
    }

    void accountSwitchRestarts()
    {
        writeSetting("username", "alice");
        writeSetting("password", "secret");
        open();
        child<QPushButton>("pushButton_3")->click();
        QSettings ini(settingsFilePath(), QSettings::IniFormat);
        for (const char *key : {"username", "password", "token", "userid"}) {
            const QString full = QStringLiteral("/setting/") + QLatin1String(key);
            QVERIFY2(ini.contains(full), key);
            QCOMPARE(ini.value(full).toString(), QString());
        }
        QCOMPARE(started.size(), 1);
        QCOMPARE(started.first().first, QCoreApplication::applicationFilePath());
        QCOMPARE(started.first().second, QCoreApplication::arguments().mid(1));
        QCOMPARE(quits, QList<int>{0});
        // The in-memory account stays; only the file is emptied.
        QCOMPARE(currentToken, QStringLiteral("tok"));
    }

    // ---- Share, links, notice ----

    void shareCopiesTheText()
    {
        open();
        child<QPushButton>("pushButton_5")->click();
        QCOMPARE(QApplication::clipboard()->text(),
                 QStringLiteral("Borvane内网穿透，免费10Mbps带宽，") + websiteHost());
        QCOMPARE(boxes.size(), 1);
        QCOMPARE(boxes.first().title, QStringLiteral("提示"));
        QCOMPARE(boxes.first().text, QStringLiteral("已复制到剪切板"));
    }

    void serviceLinks()
    {
        server.setJson("/appConfig/bvqqgroup",
                       {{"flag", true}, {"msg", "ok"}, {"data", "http://group.home.test/join"}});
        server.setJson("/appConfig/bvqqkefu", {{"flag", false}, {"msg", "客服休息中"}});
        open();
        child<QPushButton>("pushButton")->click();
        QTRY_COMPARE(opened, QStringList{"http://group.home.test/join"});
        child<QPushButton>("pushButton_4")->click();
        QTRY_COMPARE(boxes.size(), 1);
        QCOMPARE(boxes.first().title, QStringLiteral("提示"));
        QCOMPARE(boxes.first().text, QStringLiteral("客服休息中"));

        server.setStatus("/appConfig/bvqqgroup", 500);
        child<QPushButton>("pushButton")->click();
        QTRY_COMPARE(boxes.size(), 2);
        QVERIFY(boxes.last().text.startsWith(QStringLiteral("系统繁忙，请稍后重试。")));
        QCOMPARE(opened.size(), 1);
    }

    void unreachableNoticeChangesNothing()
    {
        server.setStatus("/appConfig/bvnotice", 500);
        open();
        QTRY_COMPARE(server.count("/appConfig/bvnotice"), 1);
        QTRY_VERIFY(text("label_4").contains("最新版"));
        QCOMPARE(text("label_11"), QStringLiteral("24小时客服QQ：-"));
        QVERIFY(boxes.isEmpty());
    }

    void dragMovesTheWindow()
    {
        MyWindow &w = open();
        // Wider than the test screen, the window may only move where it still spans it.
        w.move(-100, 100);
        const QPoint start = w.pos();
        QMouseEvent press(QEvent::MouseButtonPress, QPointF(10, 10), Qt::LeftButton, Qt::LeftButton,
                          Qt::NoModifier);
        QApplication::sendEvent(&w, &press);
        QMouseEvent move(QEvent::MouseMove, QPointF(30, 25), Qt::NoButton, Qt::LeftButton,
                         Qt::NoModifier);
        QApplication::sendEvent(&w, &move);
        QCOMPARE(w.pos(), start + QPoint(20, 15));
        QMouseEvent release(QEvent::MouseButtonRelease, QPointF(30, 25), Qt::LeftButton,
                            Qt::NoButton, Qt::NoModifier);
        QApplication::sendEvent(&w, &release);
        QApplication::sendEvent(&w, &move);
        QCOMPARE(w.pos(), start + QPoint(20, 15));
    }
};

const QString TstMyWindow::listPath = QStringLiteral("/port/query/7");

QTEST_MAIN(TstMyWindow)
#include "tst_mywindow.moc"
