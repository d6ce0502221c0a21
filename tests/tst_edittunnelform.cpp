#include "cardfakes.h"

#include "core/globals.h"
#include "core/settings.h"
#include "platform/environment.h"
#include "ui/edittunnelform.h"
#include "ui/messagebox.h"

#include <QCheckBox>
#include <QGraphicsDropShadowEffect>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSettings>
#include <QtTest>

namespace {

const QHostAddress HttpAddress(QStringLiteral("127.0.0.31"));
const QString DomainA = QStringLiteral("edit-test-a.example.com");
const QString DomainB = QStringLiteral("edit-test-b.example.com");

TunnelRecord sampleRecord(const QString &domain)
{
    TunnelRecord r;
    r.id = QStringLiteral("12");
    r.name = QStringLiteral("nas");
    r.serverPort = 20001;
    r.clientPort = 5000;
    r.type = 1;
    r.clientIp = QStringLiteral("192.168.1.20");
    r.domain = domain;
    r.serverIp = QStringLiteral("127.0.0.1");
    r.token = QStringLiteral("tunnel-token");
    r.bdw = 4;
    return r;
}

QString flagOf(const QString &domain)
{
    return readSetting(QStringLiteral("/setting/") + domain);
}

void removeFlag(const QString &domain)
{
    QSettings settings(settingsFilePath(), QSettings::IniFormat);
    settings.remove(QStringLiteral("/setting/") + domain);
}

} // namespace

class TstEditTunnelForm : public QObject
{
    Q_OBJECT

    FakeHttp http;
    QList<dialogs::Box> boxes;
    Environment::Scope environment;

    static void fill(EditTunnelForm &form, const QString &name, const QString &ip,
                     const QString &port)
    {
        child<QLineEdit>(form, "lineEdit_name")->setText(name);
        child<QLineEdit>(form, "lineEdit_ip")->setText(ip);
        child<QLineEdit>(form, "lineEdit_port")->setText(port);
    }
    static void submit(EditTunnelForm &form) { child<QPushButton>(form, "pushButton_3")->click(); }

private slots:
    void initTestCase()
    {
        QVERIFY(http.start(HttpAddress));
        apiBaseUrl = http.baseUrl();
        currentUserId = QStringLiteral("7");
        currentToken = QStringLiteral("account-token");
        environment->messageBox = [this](const dialogs::Box &box) {
            boxes.append(box);
            return 0;
        };
    }

    void init()
    {
        http.received.clear();
        http.hold = false;
        http.answer = R"({"flag": true, "msg": "ok", "data": null})";
        boxes.clear();
    }

    void cleanupTestCase()
    {
        removeFlag(DomainA);
        removeFlag(DomainB);
    }

    void formLayout()
    {
        EditTunnelForm form;
        QCOMPARE(form.size(), QSize(617, 445));
        QCOMPARE(form.windowTitle(), QStringLiteral("Form"));
        QVERIFY(form.testAttribute(Qt::WA_TranslucentBackground));
        QVERIFY(form.windowFlags() & Qt::FramelessWindowHint);
        QCOMPARE(child<QLabel>(form, "label_3")->text(), QStringLiteral("名称"));
        QCOMPARE(child<QLabel>(form, "label")->text(), QStringLiteral("内网IP"));
        QCOMPARE(child<QLabel>(form, "label_2")->text(), QStringLiteral("内网端口"));
        QCOMPARE(child<QCheckBox>(form, "checkBox")->text(), QStringLiteral("开机自启"));
        QCOMPARE(child<QPushButton>(form, "pushButton_3")->text(), QStringLiteral("确定修改"));
        QCOMPARE(child<QPushButton>(form, "pushButton_4")->text(), QStringLiteral("关闭"));
        QVERIFY(child<QLabel>(form, "label_5")->text().isEmpty());
        QVERIFY(!child<QLabel>(form, "label_4")->pixmap(Qt::ReturnByValue).isNull());
        auto *shadow = qobject_cast<QGraphicsDropShadowEffect *>(
            child<QWidget>(form, "widget")->graphicsEffect());
        QVERIFY(shadow);
        QCOMPARE(shadow->blurRadius(), 8.0);
    }

    void setTunnelFillsTheForm_data()
    {
        QTest::addColumn<QString>("flag");
        QTest::addColumn<bool>("checked");
        QTest::newRow("true") << QStringLiteral("true") << true;
        QTest::newRow("other case") << QStringLiteral("True") << false;
        QTest::newRow("empty") << QString() << false;
    }
    void setTunnelFillsTheForm()
    {
        QFETCH(QString, flag);
        QFETCH(bool, checked);
        writeSetting(DomainA, flag);
        TunnelRecord record = sampleRecord(DomainA);
        EditTunnelForm form;
        form.setTunnel(&record);
        QCOMPARE(child<QLineEdit>(form, "lineEdit_name")->text(), QStringLiteral("nas"));
        QCOMPARE(child<QLineEdit>(form, "lineEdit_ip")->text(), QStringLiteral("192.168.1.20"));
        QCOMPARE(child<QLineEdit>(form, "lineEdit_port")->text(), QStringLiteral("5000"));
        QCOMPARE(child<QCheckBox>(form, "checkBox")->isChecked(), checked);
    }

    void blankFieldSendsNothing_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("ip");
        QTest::addColumn<QString>("port");
        QTest::newRow("name of spaces")
            << QStringLiteral("   ") << QStringLiteral("10.0.0.1") << QStringLiteral("80");
        QTest::newRow("empty ip") << QStringLiteral("a") << QString() << QStringLiteral("80");
        QTest::newRow("port of tabs")
            << QStringLiteral("a") << QStringLiteral("10.0.0.1") << QStringLiteral("\t ");
    }
    void blankFieldSendsNothing()
    {
        QFETCH(QString, name);
        QFETCH(QString, ip);
        QFETCH(QString, port);
        writeSetting(DomainA, QStringLiteral("keep"));
        TunnelRecord record = sampleRecord(DomainA);
        EditTunnelForm form;
        form.setTunnel(&record);
        fill(form, name, ip, port);
        submit(form);

        QCOMPARE(boxes.size(), 1);
        QCOMPARE(boxes[0].icon, QMessageBox::Warning);
        QCOMPARE(boxes[0].title, QStringLiteral("内容不完整"));
        QCOMPARE(boxes[0].text, QStringLiteral("请填写完整内容"));
        QCOMPARE(flagOf(DomainA), QStringLiteral("keep"));

        // A complete submit afterwards is the first and only request the service sees.
        fill(form, QStringLiteral("a"), QStringLiteral("10.0.0.1"), QStringLiteral("80"));
        submit(form);
        QTRY_COMPARE(http.received.size(), 1);
        QCOMPARE(http.received[0].items().value(6).second, QStringLiteral("a"));
    }

    // Each field is checked as it is typed; a submit sends only what the service would take.
    void fieldHintsHoldBackTheSubmit()
    {
        QCOMPARE(EditTunnelForm::ipProblem("192.168.1.10"), QString());
        for (const char *ip :
             {"192.168.1", "256.1.1.1", "nas.local", "1.2.3.4.5", "1..2.3", "+1.2.3.4"})
            QVERIFY2(EditTunnelForm::ipProblem(ip).contains("IPv4"), ip);
        QVERIFY(EditTunnelForm::ipProblem("10.0.0.010").contains("010"));
        QCOMPARE(EditTunnelForm::portProblem("0080"), QString());
        for (const char *port : {"0", "65536", "80a", "-1", "8 0"})
            QVERIFY2(!EditTunnelForm::portProblem(port).isEmpty(), port);
        QCOMPARE(EditTunnelForm::nameProblem(QString(32, QChar(0x4e2d))), QString());
        QVERIFY(!EditTunnelForm::nameProblem(QString(33, QChar(0x4e2d))).isEmpty());

        writeSetting(DomainA, QStringLiteral("keep"));
        TunnelRecord record = sampleRecord(DomainA);
        EditTunnelForm form;
        form.setTunnel(&record);
        auto *portHint = child<QLabel>(form, "hint_port");
        QCOMPARE(portHint->text(), QString());
        fill(form, QStringLiteral("a"), QStringLiteral("10.0.0.1"), QStringLiteral("99999"));
        QCOMPARE(portHint->text(), QStringLiteral("端口须为 1–65535 之间的数字"));
        QCOMPARE(child<QLabel>(form, "hint_ip")->text(), QString());
        submit(form);
        QVERIFY(boxes.isEmpty());
        QCOMPARE(flagOf(DomainA), QStringLiteral("keep"));
        child<QLineEdit>(form, "lineEdit_port")->setText(QStringLiteral("9999"));
        QCOMPARE(portHint->text(), QString());
        submit(form);
        // The first request the service sees is the one that passed.
        QTRY_COMPARE(http.received.size(), 1);
        QCOMPARE(http.received[0].items().value(5).second, QStringLiteral("9999"));
    }

    void acceptedChangeUpdatesTheRecord()
    {
        writeSetting(DomainA, QString());
        TunnelRecord record = sampleRecord(DomainA);
        EditTunnelForm form;
        form.setTunnel(&record);
        form.show();
        QSignalSpy changed(&form, &EditTunnelForm::changeSuccess);
        fill(form, QStringLiteral("  新名字 "), QStringLiteral(" 10.0.0.9 "),
             QStringLiteral(" 0080 "));
        child<QCheckBox>(form, "checkBox")->setChecked(true);
        submit(form);
        // The flag is on disk before any answer.
        QCOMPARE(flagOf(DomainA), QStringLiteral("true"));

        QVERIFY(changed.wait(5000));
        QCOMPARE(changed.size(), 1);
        QCOMPARE(http.received.size(), 1);
        const ReceivedRequest &request = http.received[0];
        QCOMPARE(request.method, QByteArray("POST"));
        QCOMPARE(request.target, QByteArray("/port/change"));
        QCOMPARE(request.headers.value("content-type"),
                 QByteArray("application/x-www-form-urlencoded"));
        const QList<QPair<QString, QString>> expected{
            {"userId", "7"},          {"token", "account-token"},
            {"tunnelId", "12"},       {"tunnelToken", "tunnel-token"},
            {"clientIp", "10.0.0.9"}, {"clientPort", "0080"},
            {"tunnelName", "新名字"}, {"type", "1"}};
        QCOMPARE(request.items(), expected);

        QCOMPARE(record.name, QStringLiteral("新名字"));
        QCOMPARE(record.clientIp, QStringLiteral("10.0.0.9"));
        QCOMPARE(record.clientPort, 80);
        QCOMPARE(record.domain, DomainA);
        auto *button = child<QPushButton>(form, "pushButton_3");
        QCOMPARE(button->text(), QStringLiteral("修改成功"));
        QVERIFY(!button->isEnabled());
        QCOMPARE(button->styleSheet(),
                 QStringLiteral("background-color: rgb(43, 177, 43);border:none;color:white;"));
        QVERIFY(!form.isVisible());
    }

    // Unchecking writes the empty string even though the service then refuses the change.
    void refusedChangeKeepsTheRecord()
    {
        writeSetting(DomainA, QStringLiteral("true"));
        http.answer = R"({"flag": false, "msg": "修改失败", "data": "端口已被占用"})";
        TunnelRecord record = sampleRecord(DomainA);
        EditTunnelForm form;
        form.setTunnel(&record);
        form.show();
        QSignalSpy changed(&form, &EditTunnelForm::changeSuccess);
        QVERIFY(child<QCheckBox>(form, "checkBox")->isChecked());
        child<QCheckBox>(form, "checkBox")->setChecked(false);
        fill(form, QStringLiteral("x"), QStringLiteral("10.0.0.1"), QStringLiteral("81"));
        submit(form);

        auto *label = child<QLabel>(form, "label_5");
        QTRY_COMPARE(label->text(), QStringLiteral("修改失败,端口已被占用"));
        QVERIFY(!child<QPushButton>(form, "pushButton_3")->isEnabled());
        QCOMPARE(changed.size(), 0);
        QCOMPARE(flagOf(DomainA), QString());
        QCOMPARE(record.name, QStringLiteral("nas"));
        QCOMPARE(record.clientPort, 5000);
        QVERIFY(form.isVisible());
    }

    void unreadableAnswerLeavesSubmitEnabled()
    {
        http.answer = "<html>bad gateway</html>";
        TunnelRecord record = sampleRecord(DomainA);
        EditTunnelForm form;
        form.setTunnel(&record);
        submit(form);
        auto *label = child<QLabel>(form, "label_5");
        QTRY_VERIFY(label->text().startsWith(QStringLiteral("修改失败：")));
        QVERIFY(label->text().size() > QStringLiteral("修改失败：").size());
        QVERIFY(child<QPushButton>(form, "pushButton_3")->isEnabled());
        QCOMPARE(record.clientPort, 5000);

        // The user can submit again.
        http.answer = R"({"flag": true, "msg": "ok"})";
        QSignalSpy changed(&form, &EditTunnelForm::changeSuccess);
        submit(form);
        QVERIFY(changed.wait(5000));
    }

    // The card may destroy the form while the request is in flight.
    void answerAfterTheFormIsGone()
    {
        http.hold = true;
        TunnelRecord record = sampleRecord(DomainA);
        auto *form = new EditTunnelForm;
        form->setTunnel(&record);
        fill(*form, QStringLiteral("late"), QStringLiteral("10.0.0.2"), QStringLiteral("82"));
        submit(*form);
        QTRY_COMPARE(http.received.size(), 1);
        delete form;
        http.hold = false;
        http.release();

        // A witness request sent afterwards: once its answer is in, the earlier one has been
        // handled too.
        TunnelRecord other = sampleRecord(DomainB);
        EditTunnelForm witness;
        witness.setTunnel(&other);
        QSignalSpy changed(&witness, &EditTunnelForm::changeSuccess);
        submit(witness);
        QVERIFY(changed.wait(5000));
        QCOMPARE(record.name, QStringLiteral("nas"));
        QCOMPARE(record.clientPort, 5000);
    }

    void tunnelsWithOneDomainShareTheFlag()
    {
        writeSetting(DomainB, QString());
        TunnelRecord first = sampleRecord(DomainB);
        TunnelRecord second = sampleRecord(DomainB);
        second.id = QStringLiteral("13");
        EditTunnelForm one;
        one.setTunnel(&first);
        child<QCheckBox>(one, "checkBox")->setChecked(true);
        submit(one);
        EditTunnelForm two;
        two.setTunnel(&second);
        QVERIFY(child<QCheckBox>(two, "checkBox")->isChecked());
    }

    void closeButtonAndDragging()
    {
        EditTunnelForm form;
        form.move(50, 50);
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        const QPoint start = form.pos();
        QTest::mousePress(&form, Qt::LeftButton, Qt::NoModifier, QPoint(3, 3));
        QMouseEvent move(QEvent::MouseMove, QPointF(13, 33), Qt::LeftButton, Qt::LeftButton,
                         Qt::NoModifier);
        QApplication::sendEvent(&form, &move);
        QTest::mouseRelease(&form, Qt::LeftButton, Qt::NoModifier, QPoint(13, 33));
        QCOMPARE(form.pos(), start + QPoint(10, 30));

        child<QPushButton>(form, "pushButton_4")->click();
        QVERIFY(!form.isVisible());
    }
};

QTEST_MAIN(TstEditTunnelForm)
#include "tst_edittunnelform.moc"
