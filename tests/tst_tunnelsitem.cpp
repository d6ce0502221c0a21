#include "cardfakes.h"
#include "fakerelay.h"

#include "core/globals.h"
#include "core/settings.h"
#include "platform/environment.h"
#include "tunnel/tunnel.h"
#include "tunnel/tunnelcontroller.h"
#include "ui/addressqr.h"
#include "ui/edittunnelform.h"
#include "ui/infosform.h"
#include "ui/messagebox.h"
#include "ui/tunnelsitem.h"

#include <QFutureWatcher>
#include <QGraphicsDropShadowEffect>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QSettings>
#include <QTextEdit>
#include <QtTest>

namespace {

// One loopback address per test that talks to a relay: the relay port is fixed.
const QHostAddress RelayStartStop(QStringLiteral("127.0.0.32"));
const QHostAddress RelayStop(QStringLiteral("127.0.0.33"));
const QHostAddress RelayRefuse(QStringLiteral("127.0.0.34"));
const QHostAddress RelayLateStart(QStringLiteral("127.0.0.35"));
const QHostAddress RelayAutostart(QStringLiteral("127.0.0.36"));
const QHostAddress RelayNoAutostart(QStringLiteral("127.0.0.37"));
const QHostAddress RelayDelete(QStringLiteral("127.0.0.38"));
const QHostAddress RelayStarting(QStringLiteral("127.0.0.39"));
const QHostAddress HttpAddress(QStringLiteral("127.0.0.41"));
const QHostAddress LocalOpen(QStringLiteral("127.0.0.42"));
const QHostAddress LocalClosed(QStringLiteral("127.0.0.44"));
const QString RelayLive = QStringLiteral("127.0.0.116");
constexpr int ClosedPort = 9; // nothing listens on our loopback address

const QString IdleStyle = QStringLiteral(
    "QPushButton#tunnel_start{background-color: rgb(40, 148, 243);color: rgb(255, 255, "
    "255);border:none;border-radius:5;}QPushButton#tunnel_start:hover{background-color: rgb(36, "
    "133, 218);}");
const QString RunningStyle = QStringLiteral(
    "QPushButton#tunnel_start{background-color: rgb(190, 54, 30);color: rgb(255, 255, "
    "255);border:none;border-radius:5;font-size:12px;}QPushButton#tunnel_start:hover{background-"
    "color: rgb(156, 53, 43);}");
const QString StopText = QStringLiteral(
    "该隧道在其他设备登录，本机已被挤掉线，请您尝试现在重新启动或更换令牌后重新启动");

TunnelRecord sampleRecord(const QString &domain, const QHostAddress &relay = RelayStartStop)
{
    TunnelRecord r;
    r.id = QStringLiteral("12");
    r.name = QStringLiteral("nas");
    r.serverPort = 20001;
    r.clientPort = ClosedPort;
    r.type = 1;
    r.clientIp = LocalClosed.toString();
    r.domain = domain;
    r.serverIp = relay.toString();
    r.token = QStringLiteral("tunnel-token");
    r.bdw = 4;
    return r;
}

void removeFlag(const QString &domain)
{
    QSettings settings(settingsFilePath(), QSettings::IniFormat);
    settings.remove(QStringLiteral("/setting/") + domain);
}

// "[yyyy.MM.dd hh:mm:ss.zzz ddd] info\n"
QRegularExpression logLine(const QString &info)
{
    return QRegularExpression(
        QStringLiteral("^\\[\\d{4}\\.\\d\\d\\.\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3} "
                       "[^\\]]+\\] ") +
        QRegularExpression::escape(info) + QStringLiteral("$"));
}

QStringList *capturedWarnings = nullptr;
void captureWarnings(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type == QtWarningMsg && capturedWarnings)
        capturedWarnings->append(message);
}

} // namespace

class TstTunnelsItem : public QObject
{
    Q_OBJECT

    QList<dialogs::Box> boxes;
    QStringList openedUrls;
    Environment::Scope environment;

    static QPushButton *startButton(TunnelsItem &item)
    {
        return child<QPushButton>(item, "tunnel_start");
    }
    static QString iconOf(TunnelsItem &item)
    {
        return child<QPushButton>(item, "btn_warning_info")->property("iconSource").toString();
    }
    // The log, the counts and the session are the card's controller's.
    static QString &log(TunnelsItem &item) { return item.controller->logText; }
    static Tunnel *session(TunnelsItem &item) { return item.controller->session(); }
    static InfosForm *infos(TunnelsItem &item) { return item.infosForm; }
    static EditTunnelForm *editForm(TunnelsItem &item) { return item.editForm.data(); }
    static int received(TunnelsItem &item) { return item.controller->receivedCount(); }
    static int sent(TunnelsItem &item) { return item.controller->sentCount(); }
    static QStringList logLines(TunnelsItem &item)
    {
        return log(item).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    }

    static void prepareRelay(FakeControlRelay &relay, const QHostAddress &address,
                             const QString &domain)
    {
        relay.loginInfo = {{"name", "renamed"},
                           {"serverIp", address.toString()},
                           {"domain", domain},
                           {"bdw", 8},
                           {"clientPort", ClosedPort}};
        QVERIFY(relay.start(address));
    }

private slots:
    void initTestCase()
    {
        environment->messageBox = [this](const dialogs::Box &box) {
            boxes.append(box);
            return 0;
        };
        environment->openUrl = [this](const QString &url) { openedUrls.append(url); };
    }

    void init()
    {
        boxes.clear();
        openedUrls.clear();
    }

    void formLayout()
    {
        QStringList warnings;
        capturedWarnings = &warnings;
        QtMessageHandler previous = qInstallMessageHandler(captureWarnings);
        TunnelsItem item;
        qInstallMessageHandler(previous);
        capturedWarnings = nullptr;
        // A slot whose object name does not match would be reported here and never called.
        QVERIFY2(warnings.filter(QStringLiteral("No matching signal")).isEmpty(),
                 qPrintable(warnings.join(QLatin1Char('\n'))));

        QCOMPARE(item.size(), QSize(714, 146));
        QCOMPARE(startButton(item)->text(), QStringLiteral("点我启动"));
        QCOMPARE(child<QLabel>(item, "label")->text(), QStringLiteral("内网地址"));
        QCOMPARE(child<QLabel>(item, "label_4")->text(), QStringLiteral("映射外网地址"));
        QCOMPARE(child<QLabel>(item, "label_5")->text(), QStringLiteral("映射外网端口"));
        QVERIFY(!child<QLabel>(item, "label_2")->pixmap(Qt::ReturnByValue).isNull());
        QVERIFY(!child<QLabel>(item, "label_3")->pixmap(Qt::ReturnByValue).isNull());
        for (const char *name : {"tunnelName", "tunnel_client_host", "tunnel_bandwidth",
                                 "tunnel_server_host", "tunnel_server_port"})
            QVERIFY(item.findChild<QLabel *>(QLatin1String(name)));
        const QList<QPair<const char *, QString>> buttons{
            {"btn_warning_info", QStringLiteral("日志")},
            {"btn_edit", QStringLiteral("编辑隧道")},
            {"pushButton", QStringLiteral("端口说明")}};
        for (const auto &button : buttons) {
            QPushButton *widget = child<QPushButton>(item, button.first);
            QCOMPARE(widget->text(), button.second);
            QVERIFY(!widget->icon().isNull());
        }
        QCOMPARE(iconOf(item), QStringLiteral(":/img/img/rizhi1.png"));

        auto *shadow = qobject_cast<QGraphicsDropShadowEffect *>(
            child<QWidget>(item, "widget")->graphicsEffect());
        QVERIFY(shadow);
        QCOMPARE(shadow->offset(), QPointF(0, 3));
        QCOMPARE(shadow->color(), QColor(154, 154, 154, 85));
        QCOMPARE(shadow->blurRadius(), 10.0);
        QVERIFY(log(item).isEmpty());
        QVERIFY(!session(item));
        QCOMPARE(received(item) + sent(item), 0);
    }

    void initViewShowsTheRecord_data()
    {
        QTest::addColumn<int>("type");
        QTest::addColumn<QString>("publicAddress");
        QTest::newRow("web tunnel") << 0 << QStringLiteral("a.example.com");
        QTest::newRow("port tunnel") << 1 << QStringLiteral("a.example.com:20001");
        QTest::newRow("other type") << 7 << QStringLiteral("a.example.com:20001");
    }
    void initViewShowsTheRecord()
    {
        QFETCH(int, type);
        QFETCH(QString, publicAddress);
        TunnelRecord record = sampleRecord(QStringLiteral("a.example.com"));
        record.type = type;
        TunnelsItem item;
        item.InitItem(record);
        QCOMPARE(child<QLabel>(item, "tunnelName")->text(), QStringLiteral("nas"));
        QCOMPARE(child<QLabel>(item, "tunnel_server_host")->text(), publicAddress);
        QCOMPARE(child<QLabel>(item, "tunnel_server_port")->text(), QStringLiteral("80、20001"));
        QCOMPARE(child<QLabel>(item, "tunnel_bandwidth")->text(), QStringLiteral("4Mbps"));
        QVERIFY(child<QLabel>(item, "tunnel_client_host")->textInteractionFlags() &
                Qt::TextSelectableByMouse);
        QVERIFY(child<QLabel>(item, "tunnel_server_host")->textInteractionFlags() &
                Qt::TextSelectableByMouse);
        QVERIFY(infos(item));
        QVERIFY(!infos(item)->isVisible());
        // The local service is down: the probe says so.
        QTRY_COMPARE(child<QLabel>(item, "tunnel_client_host")->text(),
                     QStringLiteral("127.0.0.44:9 -本地不通"));
    }

    // The paid-until date in the card's free corner, red in its last days; none means no end.
    void expiryLine()
    {
        const auto clock = environment->clock;
        environment->clock = [] { return QDateTime(QDate(2027, 1, 1), QTime(12, 0)); };
        const QList<QPair<QString, QString>> cases{{" 到期", "长期有效"},
                                                   {"2099-12-31 23:59:59 到期", "长期有效"},
                                                   {"2027-03-01 到期", "2027-03-01 到期"},
                                                   {"2027-01-03 到期", "2027-01-03 到期!"},
                                                   {"2027-01-04 11:00:00 到期", "2027-01-04 到期!"},
                                                   {"2027-01-04 13:00:00 到期", "2027-01-04 到期"},
                                                   {"2026-12-30 到期", "2026-12-30 到期!"}};
        for (const auto &c : cases) {
            TunnelRecord record = sampleRecord(QStringLiteral("x.example.com"));
            record.stopTime = c.first;
            TunnelsItem item;
            item.InitItem(record);
            QLabel *expiry = child<QLabel>(item, "tunnel_expiry");
            const bool red = expiry->styleSheet().contains(QStringLiteral("190, 54, 30"));
            QCOMPARE(expiry->text() + (red ? "!" : ""), c.second);
            QVERIFY(!expiry->geometry().intersects(startButton(item)->geometry()));
        }
        environment->clock = clock;
    }

    void localTestReachesAnOpenPort()
    {
        QTcpServer local;
        QVERIFY(local.listen(LocalOpen));
        TunnelRecord record = sampleRecord(QStringLiteral("b.example.com"));
        record.clientIp = LocalOpen.toString();
        record.clientPort = local.serverPort();
        TunnelsItem item;
        item.InitItem(record);
        QCOMPARE(child<QLabel>(item, "tunnel_client_host")->text(),
                 QStringLiteral("127.0.0.42:%1").arg(local.serverPort()));
        QTRY_COMPARE(child<QLabel>(item, "tunnel_client_host")->text(),
                     QStringLiteral("127.0.0.42:%1 -本地通畅").arg(local.serverPort()));
    }

    // A probe of an address that has been changed since it started must not label the new one;
    // the probe of the new address does.
    void staleLocalTestIsIgnored()
    {
        QTcpServer local;
        QVERIFY(local.listen(LocalOpen));
        TunnelsItem item;
        QSignalSpy results(&item, &TunnelsItem::TestLocalhostOkSignal);
        item.InitItem(sampleRecord(QStringLiteral("t.example.com"))); // probes the closed port
        item.record.clientIp = LocalOpen.toString();
        item.record.clientPort = local.serverPort();
        item.initView();
        const QString address = QStringLiteral("127.0.0.42:%1").arg(local.serverPort());
        QTRY_VERIFY(item.tunnelController()->findChildren<QFutureWatcherBase *>().isEmpty());
        QCOMPARE(results.size(), 0);
        QCOMPARE(child<QLabel>(item, "tunnel_client_host")->text(), address);

        item.editSuccessSlot();
        QTRY_COMPARE(child<QLabel>(item, "tunnel_client_host")->text(),
                     address + QStringLiteral(" -本地通畅"));
        QCOMPARE(results.size(), 1);
        QCOMPARE(results[0][0].toBool(), true);
    }

    // The button follows the session's events; driven here without a relay.
    void buttonFollowsEvents()
    {
        TunnelsItem item;
        item.InitItem(sampleRecord(QStringLiteral("c.example.com")));
        QPushButton *button = startButton(item);
        item.tunnelInfoSlot(0, QStringLiteral("connect server success"));
        QCOMPARE(button->text(), QStringLiteral("点我启动"));
        item.tunnelInfoSlot(1, QStringLiteral("login success!"));
        QCOMPARE(button->text(), QStringLiteral("停止"));
        QCOMPARE(button->styleSheet(), RunningStyle);
        item.tunnelInfoSlot(-4, QStringLiteral("Automatic stabilization..., the heartbeat "
                                               "interval timeout：10"));
        QCOMPARE(button->text(), QStringLiteral("重连中"));
        QCOMPARE(button->styleSheet(), RunningStyle);
        item.tunnelInfoSlot(-6, QStringLiteral("reConnectServerFail"));
        QCOMPARE(button->text(), QStringLiteral("重连中"));
        item.tunnelInfoSlot(1, QStringLiteral("login success!"));
        QCOMPARE(button->text(), QStringLiteral("停止"));
        item.tunnelInfoSlot(-3, QStringLiteral("TunnelStop"));
        QCOMPARE(button->text(), QStringLiteral("点我启动"));
        QCOMPARE(button->styleSheet(), IdleStyle);
        QCOMPARE(iconOf(item), QStringLiteral(":/img/img/rizhi1.png"));
    }

    void warningIconForFailures_data()
    {
        QTest::addColumn<int>("type");
        QTest::addColumn<bool>("warning");
        QTest::newRow("-1") << -1 << true;
        QTest::newRow("-2") << -2 << true;
        QTest::newRow("-5") << -5 << true;
        QTest::newRow("-3") << -3 << false;
        QTest::newRow("-4") << -4 << false;
        QTest::newRow("-6") << -6 << false;
        QTest::newRow("0") << 0 << false;
        QTest::newRow("1") << 1 << false;
    }
    void warningIconForFailures()
    {
        QFETCH(int, type);
        QFETCH(bool, warning);
        TunnelsItem item;
        item.InitItem(sampleRecord(QStringLiteral("d.example.com")));
        item.tunnelInfoSlot(type, QStringLiteral("event"));
        QCOMPARE(iconOf(item), warning ? QStringLiteral(":/img/img/warning.png")
                                       : QStringLiteral(":/img/img/rizhi1.png"));
        if (type == -1 || type == -2 || type == -5)
            QCOMPARE(startButton(item)->text(), QStringLiteral("点我启动"));

        // Opening the log resets the icon and shows the status window with the log.
        child<QPushButton>(item, "btn_warning_info")->click();
        QCOMPARE(iconOf(item), QStringLiteral(":/img/img/rizhi1.png"));
        QVERIFY(infos(item)->isVisible());
        QVERIFY(logLines(item).value(0).contains(logLine(QStringLiteral("event"))));
        QCOMPARE(infos(item)->findChild<QTextEdit *>(QStringLiteral("textEdit"))->toPlainText(),
                 log(item));
    }

    void logIsEmptiedPastTheLimit_data()
    {
        QTest::addColumn<int>("length");
        QTest::addColumn<bool>("emptied");
        QTest::newRow("2000 stays") << 2000 << false;
        QTest::newRow("2001 empties") << 2001 << true;
    }
    void logIsEmptiedPastTheLimit()
    {
        QFETCH(int, length);
        QFETCH(bool, emptied);
        TunnelsItem item;
        item.InitItem(sampleRecord(QStringLiteral("e.example.com")));
        const QString old(length, QLatin1Char('x'));
        log(item) = old;
        item.tunnelInfoSlot(0, QStringLiteral("next"));
        const QString rest = emptied ? log(item) : log(item).mid(length);
        if (!emptied)
            QVERIFY(log(item).startsWith(old));
        QVERIFY(rest.endsWith(QLatin1Char('\n')));
        QVERIFY(rest.chopped(1).contains(logLine(QStringLiteral("next"))));
        QCOMPARE(rest.count(QLatin1Char('\n')), 1);
    }

    // Heartbeats and refreshes count and update the window but write no line.
    void heartbeatsAddNoLines()
    {
        TunnelsItem item;
        item.InitItem(sampleRecord(QStringLiteral("f.example.com")));
        item.tunnelInfoSlot(0, QStringLiteral("connect server success"));
        const QString before = log(item);
        item.tunnelInfoSlot(11, QStringLiteral("发送心跳"));
        item.tunnelInfoSlot(10, QStringLiteral("收到心跳"));
        item.tunnelInfoSlot(11, QStringLiteral("发送心跳"));
        item.tunnelInfoSlot(12, QStringLiteral("initView刷新隧道信息"));
        QCOMPARE(log(item), before);
        QCOMPARE(sent(item), 2);
        QCOMPARE(received(item), 1);
        InfosForm *window = infos(item);
        QCOMPARE(window->findChild<QLabel *>(QStringLiteral("label"))->text(),
                 QStringLiteral("已发送心跳包：2"));
        QCOMPARE(window->findChild<QLabel *>(QStringLiteral("label_2"))->text(),
                 QStringLiteral("已接收心跳包：1"));
        QCOMPARE(window->findChild<QLabel *>(QStringLiteral("label_title"))->text(),
                 QStringLiteral("f.example.com"));
    }

    void helpTextNamesTheAddresses()
    {
        TunnelsItem item;
        item.InitItem(sampleRecord(QStringLiteral("g.example.com")));
        child<QPushButton>(item, "pushButton")->click();
        QCOMPARE(boxes.size(), 1);
        QCOMPARE(boxes[0].icon, QMessageBox::Information);
        QCOMPARE(boxes[0].title, QStringLiteral("提示"));
        const QString d = QStringLiteral("g.example.com");
        const QString expected =
            QStringLiteral("若您穿透的为网站等web应用，可直接使用域名访问、无需加端口，默认即为80端"
                           "口,如：\n\n http://") +
            d + QStringLiteral(" (需要实名)\n 或\n http://") + d +
            QStringLiteral(":80(需要实名)\n注意：使用Http模式需要实名\n\n\n\n若您穿透的为非网站，"
                           "如远程桌面、数据库、一般应用等，请使用域名+外网端口访问,如：\n") +
            d + QStringLiteral(":20001\n\n有不懂的地方可以添加Borvane官方交流群获取帮助");
        QCOMPARE(boxes[0].text, expected);
    }

    void unconfiguredTunnelGoesToTheConsole()
    {
        TunnelRecord record = sampleRecord(QStringLiteral("h.example.com"));
        record.state = TunnelRecord::StateNotConfigured;
        TunnelsItem item;
        item.InitItem(record);
        startButton(item)->click();
        child<QPushButton>(item, "btn_edit")->click();
        QCOMPARE(boxes.size(), 2);
        for (const dialogs::Box &box : boxes) {
            QCOMPARE(box.title, QStringLiteral("提示"));
            QCOMPARE(box.text, QStringLiteral("该隧道暂未配置，请先前往控制台配置该隧道"));
        }
        QCOMPARE(openedUrls, QStringList({webConsoleTunnelUrl(), webConsoleTunnelUrl()}));
        QVERIFY(webConsoleTunnelUrl().endsWith(QStringLiteral("/#/tunnel")));
        QVERIFY(!session(item));
        QVERIFY(!editForm(item));
        QCOMPARE(startButton(item)->text(), QStringLiteral("点我启动"));
    }

    void editWhileRunningIsRefused()
    {
        TunnelsItem item;
        item.InitItem(sampleRecord(QStringLiteral("i.example.com")));
        item.tunnelInfoSlot(1, QStringLiteral("login success!"));
        child<QPushButton>(item, "btn_edit")->click();
        QCOMPARE(boxes.size(), 1);
        QCOMPARE(boxes[0].title, QStringLiteral("提示"));
        QCOMPARE(boxes[0].text, QStringLiteral("请先停止隧道，再进行编辑操作"));
        QVERIFY(!editForm(item));
    }

    // Accepted edit: the record changes, the card redraws and tests the new local address.
    void acceptedEditRedrawsTheCard()
    {
        FakeHttp http;
        QVERIFY(http.start(HttpAddress));
        apiBaseUrl = http.baseUrl();
        QTcpServer local;
        QVERIFY(local.listen(LocalOpen));
        const QString domain = QStringLiteral("j.example.com");
        writeSetting(domain, QString());

        TunnelsItem item;
        item.InitItem(sampleRecord(domain));
        child<QPushButton>(item, "btn_edit")->click();
        QPointer<EditTunnelForm> first = editForm(item);
        QVERIFY(first);
        QVERIFY(first->isVisible());
        QCOMPARE(first->findChild<QLineEdit *>(QStringLiteral("lineEdit_name"))->text(),
                 QStringLiteral("nas"));
        // A second click replaces the form.
        child<QPushButton>(item, "btn_edit")->click();
        QVERIFY(!first);
        EditTunnelForm *form = editForm(item);
        QVERIFY(form);

        const QString port = QStringLiteral("0") + QString::number(local.serverPort());
        form->findChild<QLineEdit *>(QStringLiteral("lineEdit_name"))
            ->setText(QStringLiteral("renamed"));
        form->findChild<QLineEdit *>(QStringLiteral("lineEdit_ip"))->setText(LocalOpen.toString());
        form->findChild<QLineEdit *>(QStringLiteral("lineEdit_port"))->setText(port);
        form->findChild<QPushButton *>(QStringLiteral("pushButton_3"))->click();

        QTRY_COMPARE(child<QLabel>(item, "tunnelName")->text(), QStringLiteral("renamed"));
        QCOMPARE(http.received.size(), 1);
        QCOMPARE(http.received[0].items().value(5).second, port);
        QTRY_COMPARE(child<QLabel>(item, "tunnel_client_host")->text(),
                     QStringLiteral("127.0.0.42:%1 -本地通畅").arg(local.serverPort()));
        QVERIFY(!form->isVisible());
        removeFlag(domain);
    }

    void deletingTheCardDestroysItsWindows()
    {
        auto *item = new TunnelsItem;
        item->InitItem(sampleRecord(QStringLiteral("k.example.com")));
        child<QPushButton>(*item, "btn_edit")->click();
        QPointer<InfosForm> window = infos(*item);
        QPointer<EditTunnelForm> form = editForm(*item);
        QVERIFY(window && form);
        delete item;
        QVERIFY(!window);
        QVERIFY(!form);
    }

    // ---- Real sessions against a fake relay ----

    void startSignInAndManualStop()
    {
        const QString domain = QStringLiteral("l.example.com");
        FakeControlRelay relay;
        prepareRelay(relay, RelayStartStop, domain);
        TunnelsItem item;
        item.InitItem(sampleRecord(domain, RelayStartStop));
        // Counts from an earlier run are reset only by a manual start.
        item.tunnelInfoSlot(10, QStringLiteral("收到心跳"));
        log(item) = QStringLiteral("old\n");

        startButton(item)->click();
        QVERIFY(session(item));
        QVERIFY(!log(item).contains(QStringLiteral("old")));
        QTRY_COMPARE(startButton(item)->text(), QStringLiteral("停止"));
        QCOMPARE(startButton(item)->styleSheet(), RunningStyle);
        QCOMPARE(received(item), 0);
        // The session rewrote the record at sign-in and the card redrew itself.
        QCOMPARE(child<QLabel>(item, "tunnelName")->text(), QStringLiteral("renamed"));
        QCOMPARE(child<QLabel>(item, "tunnel_bandwidth")->text(), QStringLiteral("8Mbps"));
        const QStringList lines = logLines(item);
        QCOMPARE(lines.size(), 3);
        QVERIFY(lines[0].contains(logLine(QStringLiteral("connect server success"))));
        QVERIFY(
            lines[1].contains(logLine(QStringLiteral("authenticating success,analysising..."))));
        QVERIFY(lines[2].contains(logLine(QStringLiteral("login success!"))));
        QCOMPARE(relay.received.value(0).value(QStringLiteral("type")).toString(),
                 QStringLiteral("LOGIN"));

        // One heartbeat each way, and still three lines.
        QTRY_VERIFY_WITH_TIMEOUT(sent(item) >= 1 && received(item) >= 1, 9000);
        QCOMPARE(logLines(item).size(), 3);

        QSignalSpy closed(&relay, &FakeControlRelay::controlClosed);
        startButton(item)->click();
        QCOMPARE(startButton(item)->text(), QStringLiteral("点我启动"));
        QCOMPARE(startButton(item)->styleSheet(), IdleStyle);
        QVERIFY(!session(item));
        QVERIFY(log(item).endsWith(QStringLiteral("人为停止隧道\n") + logLines(item).last() +
                                   QStringLiteral("\n")));
        QVERIFY(logLines(item).last().contains(logLine(QStringLiteral("TunnelStop"))));
        QVERIFY(closed.wait(5000));
    }

    void stopFromTheServer()
    {
        const QString domain = QStringLiteral("m.example.com");
        FakeControlRelay relay;
        prepareRelay(relay, RelayStop, domain);
        TunnelsItem item;
        item.InitItem(sampleRecord(domain, RelayStop));
        startButton(item)->click();
        QTRY_COMPARE(startButton(item)->text(), QStringLiteral("停止"));

        QSignalSpy closed(&relay, &FakeControlRelay::controlClosed);
        relay.sendStop();
        QTRY_COMPARE(startButton(item)->text(), QStringLiteral("点我启动"));
        QCOMPARE(startButton(item)->styleSheet(), IdleStyle);
        QCOMPARE(iconOf(item), QStringLiteral(":/img/img/warning.png"));
        QVERIFY(!session(item));
        const QStringList lines = logLines(item);
        QVERIFY(lines.size() >= 2);
        QVERIFY(lines[lines.size() - 2].contains(logLine(QStringLiteral("TunnelStop"))));
        QVERIFY(lines.last().contains(logLine(StopText)));
        QTRY_COMPARE(closed.size(), 1);
    }

    void signInRefused()
    {
        const QString domain = QStringLiteral("n.example.com");
        FakeControlRelay relay;
        prepareRelay(relay, RelayRefuse, domain);
        relay.login = FakeControlRelay::Login::Refuse;
        TunnelsItem item;
        item.InitItem(sampleRecord(domain, RelayRefuse));
        QSignalSpy closed(&relay, &FakeControlRelay::controlClosed);
        startButton(item)->click();
        QVERIFY(closed.wait(5000));
        QTRY_VERIFY(logLines(item).last().contains(logLine(relay.refusal)));
        QCOMPARE(startButton(item)->text(), QStringLiteral("点我启动"));
        QCOMPARE(startButton(item)->styleSheet(), IdleStyle);
        QCOMPARE(iconOf(item), QStringLiteral(":/img/img/warning.png"));
        QVERIFY(!session(item));
        const QStringList lines = logLines(item);
        QVERIFY(lines[lines.size() - 2].contains(logLine(QStringLiteral("TunnelStop"))));
    }

    // Nothing listens at first: the start fails, the failed session stays until the next start
    // replaces it, and that start works once the relay is there.
    void relayUnreachableThenBack()
    {
        const QString domain = QStringLiteral("o.example.com");
        TunnelsItem item;
        item.InitItem(sampleRecord(domain, RelayLateStart));
        startButton(item)->click();
        QCOMPARE(startButton(item)->text(), QStringLiteral("点我启动"));
        QCOMPARE(iconOf(item), QStringLiteral(":/img/img/warning.png"));
        const QStringList lines = logLines(item);
        QCOMPARE(lines.size(), 2);
        QVERIFY(lines[0].contains(logLine(QStringLiteral("ConnectServerFail"))));
        QVERIFY(lines[1].contains(
            logLine(QStringLiteral("服务器连接失败,检查您的本地网络是否稳定，防火墙等是否关闭"))));
        QPointer<Tunnel> failed = session(item);
        QVERIFY(failed);

        FakeControlRelay relay;
        prepareRelay(relay, RelayLateStart, domain);
        startButton(item)->click();
        QVERIFY(session(item) != failed.data());
        QTRY_VERIFY(!failed); // released without blocking
        QTRY_COMPARE(startButton(item)->text(), QStringLiteral("停止"));
        QCOMPARE(logLines(item).size(), 3); // the log restarted with this start
    }

    void autostartOnlyForExactlyTrue()
    {
        const QString domain = QStringLiteral("p.example.com");
        const QString other = QStringLiteral("q.example.com");
        writeSetting(domain, QStringLiteral("true"));
        writeSetting(other, QStringLiteral("True"));
        FakeControlRelay relay;
        prepareRelay(relay, RelayAutostart, domain);
        FakeControlRelay quiet;
        prepareRelay(quiet, RelayNoAutostart, other);

        TunnelsItem notStarted;
        notStarted.InitItem(sampleRecord(other, RelayNoAutostart));
        QVERIFY(!session(notStarted));
        QCOMPARE(startButton(notStarted)->text(), QStringLiteral("点我启动"));

        TunnelsItem started;
        started.InitItem(sampleRecord(domain, RelayAutostart));
        QVERIFY(session(started));
        QCOMPARE(startButton(started)->text(), QStringLiteral("启动中"));
        QTRY_COMPARE(startButton(started)->text(), QStringLiteral("停止"));
        QCOMPARE(relay.connectionsSeen, 1);
        QCOMPARE(quiet.connectionsSeen, 0);
        removeFlag(domain);
        removeFlag(other);
    }

    // While "启动中" shows, a click starts nothing.
    void clickWhileStartingDoesNothing()
    {
        const QString domain = QStringLiteral("r.example.com");
        writeSetting(domain, QStringLiteral("true"));
        FakeControlRelay relay;
        prepareRelay(relay, RelayStarting, domain);
        relay.login = FakeControlRelay::Login::Silent;
        QSignalSpy frames(&relay, &FakeControlRelay::frameReceived);
        TunnelsItem item;
        item.InitItem(sampleRecord(domain, RelayStarting));
        removeFlag(domain);
        Tunnel *first = session(item);
        QVERIFY(first);
        QVERIFY(frames.wait(5000)); // LOGIN arrived, no answer
        startButton(item)->click();
        QCOMPARE(session(item), first);
        QCOMPARE(startButton(item)->text(), QStringLiteral("启动中"));
        QCOMPARE(relay.connectionsSeen, 1);
    }

    void liveFiguresAndUnreachableLocalService()
    {
        // Known traffic through a running card: the sampled figures match it, failed local
        // connects turn the card's state (with the address and the system's reason) and fold
        // into one log line per sample, and the next good connect clears the warning.
        FakeRelay relay;
        FakeService service;
        QVERIFY(service.listen(QHostAddress(RelayLive)));
        const quint16 port = service.port();
        relay.describeTunnel(RelayLive, "live.test", port);
        QVERIFY(relay.listen(RelayLive));
        TunnelRecord record = sampleRecord(QStringLiteral("live.test"), QHostAddress(RelayLive));
        record.clientIp = RelayLive;
        record.clientPort = port;
        TunnelsItem card;
        QSignalSpy changes(&card, &TunnelsItem::statusChanged);
        card.InitItem(record);
        child<QPushButton>(card, "tunnel_start")->click();
        QTRY_COMPARE_WITH_TIMEOUT(card.status().state, TunnelStatus::State::Running, 5000);

        const auto conn = [&](const QString &uid) {
            FakeRelay::send(relay.controls().first(),
                            FakeRelay::message({{"type", "CONN"}, {"uid", uid}}));
        };
        for (int i = 0; i < 5; ++i)
            conn(QString::number(i));
        QTRY_COMPARE_WITH_TIMEOUT(relay.datas().size(), 5, 5000);
        // The card's own local tests connect too, and close at once.
        const auto open = [&] {
            std::vector<ServiceConnection *> out;
            for (auto &c : service.connections)
                if (!c->closed)
                    out.push_back(c.get());
            return out;
        };
        QTRY_COMPARE_WITH_TIMEOUT(open().size(), size_t(5), 5000);
        const QByteArray up(1024 * 1024, 'u'), down(600 * 1024, 'd');
        for (int i = 0; i < 5; ++i) {
            relay.datas()[i]->socket->write(up);
            open()[size_t(i)]->socket->write(down);
        }
        QTRY_COMPARE_WITH_TIMEOUT(card.status().bytesIn, qint64(5) * up.size(), 20000);
        QTRY_COMPARE_WITH_TIMEOUT(card.status().bytesOut, qint64(5) * down.size(), 20000);
        QCOMPARE(card.status().activeConnections, 5);
        QVERIFY(child<QLabel>(card, "tunnel_live")->text().startsWith(QStringLiteral("5 个连接")));

        service.stopListening();
        conn(QStringLiteral("a"));
        conn(QStringLiteral("b"));
        QTRY_COMPARE_WITH_TIMEOUT(card.status().state, TunnelStatus::State::LocalUnreachable,
                                  10000);
        QTRY_COMPARE_WITH_TIMEOUT(card.status().failedConnections, qint64(2), 10000);
        const TunnelStatus failing = card.status();
        QCOMPARE(failing.totalConnections, qint64(7));
        QVERIFY2(failing.stateReason.startsWith(RelayLive + ':' + QString::number(port) + " ("),
                 qPrintable(failing.stateReason));
        QTRY_VERIFY_WITH_TIMEOUT(log(card).contains(QStringLiteral("本地服务连接失败：")), 5000);
        QVERIFY(log(card).count(QStringLiteral("本地服务连接失败：")) <= 2);
        QVERIFY(child<QLabel>(card, "tunnel_live")
                    ->text()
                    .startsWith(QStringLiteral("本地服务不可达：")));

        QVERIFY(service.listen(QHostAddress(RelayLive), port));
        conn(QStringLiteral("c"));
        QTRY_COMPARE_WITH_TIMEOUT(card.status().state, TunnelStatus::State::Running, 10000);
        QVERIFY(changes.count() > 3);

        relay.closeAll();
        child<QPushButton>(card, "tunnel_start")->click();
        QTRY_COMPARE_WITH_TIMEOUT(card.status().state, TunnelStatus::State::Stopped, 5000);
        QCOMPARE(card.status().bytesIn, qint64(0));
        QCOMPARE(child<QLabel>(card, "tunnel_live")->text(), QString());
    }

    void addressQrCode()
    {
        if (!AddressQr::isAvailable())
            QSKIP("built without the QR library");
        // 28 bytes need version 3 at level M: 29 modules and a quiet zone of 4 each side.
        const QImage code = AddressQr::encode(QStringLiteral("http://nas.example.com:20001"), 2);
        QCOMPARE(code.size(), QSize((29 + 8) * 2, (29 + 8) * 2));
        QCOMPARE(code.pixelColor(0, 0), QColor(Qt::white)); // quiet zone
        QCOMPARE(code.pixelColor(8, 8), QColor(Qt::black)); // corner of the finder pattern
        QVERIFY(AddressQr::encode(QString(4000, QLatin1Char('x')), 2).isNull()); // too long
    }

    void deletingARunningCardStopsItsSession()
    {
        const QString domain = QStringLiteral("s.example.com");
        FakeControlRelay relay;
        prepareRelay(relay, RelayDelete, domain);
        auto *item = new TunnelsItem;
        item->InitItem(sampleRecord(domain, RelayDelete));
        startButton(*item)->click();
        QTRY_COMPARE(startButton(*item)->text(), QStringLiteral("停止"));
        QPointer<Tunnel> running = session(*item);
        QSignalSpy closed(&relay, &FakeControlRelay::controlClosed);
        delete item;
        QVERIFY(closed.wait(5000));
        QTRY_VERIFY(!running);
    }
};

QTEST_MAIN(TstTunnelsItem)
#include "tst_tunnelsitem.moc"
