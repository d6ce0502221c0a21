// The create-and-pay form against a fake service on 127.0.0.51: price list and durations,
// purchase notice, the order and its guard, "TunnelOk", the payment QR image and closing.

#include "fakesigninapi.h"

#include "core/globals.h"
#include "platform/environment.h"
#include "ui/createtunnelform.h"

#include <QBuffer>
#include <QComboBox>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QPixmap>
#include <QPointer>
#include <QPushButton>
#include <QSignalSpy>
#include <QtTest>

namespace {

QStringList warnings;
QStringList logged; // debug lines: the form logs every answer before acting on it
QtMessageHandler previousHandler = nullptr;

void recordMessages(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (type == QtWarningMsg)
        warnings << message;
    if (type == QtDebugMsg)
        logged << message;
    if (previousHandler)
        previousHandler(type, context, message);
}

bool wasLogged(const QString &part)
{
    for (const QString &line : qAsConst(logged)) {
        if (line.contains(part))
            return true;
    }
    return false;
}

QVariantMap price(int id, const QString &name, int bdw, const QString &pay, int hours)
{
    return {{"id", id},
            {"name", name},
            {"bdw", bdw},
            {"pay", pay},
            {"info", name + QStringLiteral("的说明")},
            {"time", hours}};
}

QByteArray pngBytes(int side)
{
    QImage image(side, side, QImage::Format_RGB32);
    image.fill(Qt::black);
    for (int i = 0; i < side; i += 2)
        image.setPixel(i, i, qRgb(255, 255, 255));
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes;
}

} // namespace

class TestCreateTunnelForm : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void cleanupTestCase();

    void formHasEveryObject();
    void durationTexts_data();
    void durationTexts();
    void priceListShowsPackages();
    void priceListRefusedOrFailedKeepsLoading();
    void purchaseNotice();
    void orderBeforeListLoadsAsksForInput();
    void incompleteInputAsksForInput_data();
    void incompleteInputAsksForInput();
    void twoQuickPressesSendOneOrder();
    void orderFailedOnNetwork();
    void tunnelOkEmitsAndCloses();
    void otherDataIsPaymentUrl();
    void undecodableQrLeavesLabelEmpty();
    void closeInPaymentStateEmitsNothing();
    void paidEmitsAndCloses();
    void answersAfterFormGoneDoNothing();

private:
    CreateTunnelForm *loadedForm();
    void fillOrder(CreateTunnelForm *form, const QString &name = QStringLiteral(" 家里NAS "),
                   const QString &ip = QStringLiteral(" 192.168.1.20 "),
                   const QString &port = QStringLiteral(" 5000 "));
    template <typename T> static T *child(QWidget *w, const char *name)
    {
        T *found = w->findChild<T *>(QLatin1String(name));
        if (!found)
            qFatal("no child %s", name);
        return found;
    }

    FakeSigninApi api;
    QList<QPointer<CreateTunnelForm>> forms;
};

void TestCreateTunnelForm::initTestCase()
{
    QVERIFY(api.listen(QHostAddress(QStringLiteral("127.0.0.51"))));
    apiBaseUrl = api.baseUrl();
    currentUserId = QStringLiteral("u1");
    currentToken = QStringLiteral("t1");
    previousHandler = qInstallMessageHandler(recordMessages);
}

void TestCreateTunnelForm::init()
{
    api.reset();
    warnings.clear();
    logged.clear();
    api.setReply("GET", "price",
                 FakeSigninApi::envelope(true, "ok",
                                         QVariantList{price(11, "月付", 10, "9.9", 720),
                                                      price(12, "一天半", 4, "1.5", 36),
                                                      price(13, "五小时", 2, "0.5", 5),
                                                      price(14, "永久", 1, "99", 0),
                                                      price(-1, "停售", 8, "0", -3)}));
    api.setReply("GET", "appConfig/bvnotice_buy",
                 FakeSigninApi::envelope(true, "ok", "<a href=\"http://example.com\">双十二</a>"));
}

void TestCreateTunnelForm::cleanup()
{
    for (const QPointer<CreateTunnelForm> &form : qAsConst(forms))
        delete form.data();
    forms.clear();
}

void TestCreateTunnelForm::cleanupTestCase()
{
    qInstallMessageHandler(previousHandler);
}

CreateTunnelForm *TestCreateTunnelForm::loadedForm()
{
    auto *form = new CreateTunnelForm;
    forms << form;
    form->show();
    QComboBox *box = form->findChild<QComboBox *>(QStringLiteral("comboBox"));
    if (!QTest::qWaitFor([box] { return box->count() == 5; }))
        qWarning("price list not loaded");
    return form;
}

void TestCreateTunnelForm::fillOrder(CreateTunnelForm *form, const QString &name, const QString &ip,
                                     const QString &port)
{
    child<QLineEdit>(form, "lineEdit_name")->setText(name);
    child<QLineEdit>(form, "lineEdit_client_ip")->setText(ip);
    child<QLineEdit>(form, "lineEdit_client_port")->setText(port);
}

void TestCreateTunnelForm::formHasEveryObject()
{
    api.hold("GET", "price");
    auto *form = new CreateTunnelForm;
    forms << form;
    for (const QString &message : qAsConst(warnings))
        QVERIFY2(!message.contains(QStringLiteral("connectSlotsByName")), qPrintable(message));
    QCOMPARE(form->size(), QSize(687, 472));
    QCOMPARE(form->windowTitle(), QStringLiteral("Form"));
    QVERIFY(form->windowFlags() & Qt::FramelessWindowHint);
    QVERIFY(form->styleSheet().contains(QStringLiteral("rgba(47, 48, 68, 255)")));
    QVERIFY(form->styleSheet().contains(QStringLiteral("rgba(25, 21, 53, 255)")));

    const QList<QPair<const char *, QString>> labels{{"label_4", "隧道基本信息"},
                                                     {"label_5", "选择套餐"},
                                                     {"label_2", "带宽:"},
                                                     {"bwd_label", "-"},
                                                     {"label_3", "价格:"},
                                                     {"price_label", "-"},
                                                     {"label_8", "时长:"},
                                                     {"time_label", "-"},
                                                     {"label_info", ""},
                                                     {"label_state", ""},
                                                     {"label_9", "活动"},
                                                     {"label_qrcode", "二维码加载中"},
                                                     {"label_7", "请使用支付宝扫码"}};
    for (const auto &label : labels)
        QCOMPARE(child<QLabel>(form, label.first)->text(), label.second);
    QCOMPARE(child<QLineEdit>(form, "lineEdit_name")->placeholderText(),
             QStringLiteral("隧道名字"));
    QCOMPARE(child<QLineEdit>(form, "lineEdit_client_ip")->placeholderText(),
             QStringLiteral("内网IP地址"));
    QCOMPARE(child<QLineEdit>(form, "lineEdit_client_port")->placeholderText(),
             QStringLiteral("内网端口"));
    QCOMPARE(child<QPushButton>(form, "pushButton")->text(), QStringLiteral("立即开通"));
    QCOMPARE(child<QPushButton>(form, "pushButton_2")->text(), QStringLiteral("关闭"));
    QCOMPARE(child<QPushButton>(form, "pushButton_3")->text(), QStringLiteral("我已支付"));
    QComboBox *box = child<QComboBox>(form, "comboBox");
    QCOMPARE(box->count(), 1);
    QCOMPARE(box->itemText(0), QStringLiteral("加载中"));
    QVERIFY(child<QLabel>(form, "label_qrcode")->hasScaledContents());
    child<QLabel>(form, "label");
    child<QLabel>(form, "label_6");

    QWidget *pay = child<QWidget>(form, "widget_pay");
    QVERIFY(pay->isHidden());
    QVERIFY(pay->graphicsEffect());
    QCOMPARE(child<QPushButton>(form, "pushButton_3")->parentWidget(), pay);
    QCOMPARE(child<QLabel>(form, "label_qrcode")->parentWidget(), pay);

    QTRY_COMPARE(api.heldCount(), 1);
    const ReceivedRequest list = api.to("GET", "price").value(0);
    QCOMPARE(list.itemNames(), (QStringList{"userId", "token"}));
    QCOMPARE(list.item("userId"), QStringLiteral("u1"));
    QCOMPARE(list.item("token"), QStringLiteral("t1"));
    QTRY_COMPARE(api.count("GET", "appConfig/bvnotice_buy"), 1);
}

void TestCreateTunnelForm::durationTexts_data()
{
    QTest::addColumn<int>("hours");
    QTest::addColumn<QString>("text");
    QTest::newRow("720") << 720 << "30天";
    QTest::newRow("36") << 36 << "1天12小时";
    QTest::newRow("5") << 5 << "5 小时";
    QTest::newRow("1") << 1 << "1 小时";
    QTest::newRow("23") << 23 << "23 小时";
    QTest::newRow("24") << 24 << "1天";
    QTest::newRow("25") << 25 << "1天1小时";
    QTest::newRow("0") << 0 << "不限时间";
    QTest::newRow("-3") << -3 << "";
}

void TestCreateTunnelForm::durationTexts()
{
    QFETCH(int, hours);
    QFETCH(QString, text);
    QCOMPARE(CreateTunnelForm::durationText(hours), text);
}

void TestCreateTunnelForm::priceListShowsPackages()
{
    CreateTunnelForm *form = loadedForm();
    QComboBox *box = child<QComboBox>(form, "comboBox");
    QCOMPARE(box->count(), 5);
    QCOMPARE(box->itemText(0), QStringLiteral("月付"));
    QCOMPARE(box->itemText(4), QStringLiteral("停售"));
    // The first package is shown at once.
    QCOMPARE(box->currentIndex(), 0);
    QCOMPARE(child<QLabel>(form, "bwd_label")->text(), QStringLiteral("10Mbps"));
    QCOMPARE(child<QLabel>(form, "price_label")->text(), QStringLiteral("9.9 元"));
    QCOMPARE(child<QLabel>(form, "time_label")->text(), QStringLiteral("30天"));
    QCOMPARE(child<QLabel>(form, "label_info")->text(), QStringLiteral("月付的说明"));

    const QStringList durations{"30天", "1天12小时", "5 小时", "不限时间", ""};
    for (int i = durations.size() - 1; i >= 0; --i) {
        box->setCurrentIndex(i);
        QCOMPARE(child<QLabel>(form, "time_label")->text(), durations[i]);
    }
    box->setCurrentIndex(1);
    QCOMPARE(child<QLabel>(form, "bwd_label")->text(), QStringLiteral("4Mbps"));
    QCOMPARE(child<QLabel>(form, "price_label")->text(), QStringLiteral("1.5 元"));
    QCOMPARE(child<QLabel>(form, "label_info")->text(), QStringLiteral("一天半的说明"));
}

void TestCreateTunnelForm::priceListRefusedOrFailedKeepsLoading()
{
    api.setReply("GET", "price", FakeSigninApi::envelope(false, "维护中", QVariantList{}));
    auto *refused = new CreateTunnelForm;
    forms << refused;
    QTRY_VERIFY(wasLogged(QStringLiteral("维护中")));
    api.setReply("GET", "price", FakeSigninApi::status(500));
    auto *failed = new CreateTunnelForm;
    forms << failed;
    QTRY_VERIFY(wasLogged(QStringLiteral("err")));
    for (CreateTunnelForm *form : {refused, failed}) {
        QComboBox *box = child<QComboBox>(form, "comboBox");
        QCOMPARE(box->count(), 1);
        QCOMPARE(box->itemText(0), QStringLiteral("加载中"));
        QCOMPARE(child<QLabel>(form, "time_label")->text(), QStringLiteral("-"));
    }
    // An order now finds no package.
    fillOrder(failed);
    child<QPushButton>(failed, "pushButton")->click();
    QCOMPARE(child<QLabel>(failed, "label_state")->text(), QStringLiteral("请输入完整内容"));
}

void TestCreateTunnelForm::purchaseNotice()
{
    CreateTunnelForm *shown = loadedForm();
    QTRY_COMPARE(child<QLabel>(shown, "label_9")->text(),
                 QStringLiteral("<a href=\"http://example.com\">双十二</a>"));
    // Its links open in the browser.
    QStringList opened;
    {
        Environment::Scope environment;
        environment->openUrl = [&opened](const QString &url) { opened << url; };
        emit child<QLabel>(shown, "label_9")->linkActivated(QStringLiteral("http://example.com"));
    }
    QCOMPARE(opened, QStringList{QStringLiteral("http://example.com")});

    api.setReply("GET", "appConfig/bvnotice_buy", FakeSigninApi::envelope(false, "无", "不该显示"));
    CreateTunnelForm *refused = loadedForm();
    QTRY_VERIFY(wasLogged(QStringLiteral("不该显示")));
    QCOMPARE(child<QLabel>(refused, "label_9")->text(), QStringLiteral("活动"));

    logged.clear();
    api.setReply("GET", "appConfig/bvnotice_buy", FakeSigninApi::status(500));
    CreateTunnelForm *failed = loadedForm();
    QTRY_VERIFY(wasLogged(QStringLiteral("err")));
    QCOMPARE(child<QLabel>(failed, "label_9")->text(), QStringLiteral("活动"));
}

void TestCreateTunnelForm::orderBeforeListLoadsAsksForInput()
{
    api.hold("GET", "price");
    auto *form = new CreateTunnelForm;
    forms << form;
    fillOrder(form);
    child<QPushButton>(form, "pushButton")->click();
    QCOMPARE(child<QLabel>(form, "label_state")->text(), QStringLiteral("请输入完整内容"));
    QCOMPARE(child<QPushButton>(form, "pushButton")->text(), QStringLiteral("立即开通"));
    QTRY_COMPARE(api.heldCount(), 1);
    QCOMPARE(api.count("POST", "port"), 0);
}

void TestCreateTunnelForm::incompleteInputAsksForInput_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("ip");
    QTest::addColumn<QString>("port");
    QTest::addColumn<int>("package");
    QTest::newRow("no name") << "  "
                             << "192.168.1.20"
                             << "5000" << 0;
    QTest::newRow("no ip") << "nas"
                           << ""
                           << "5000" << 0;
    QTest::newRow("no port") << "nas"
                             << "192.168.1.20"
                             << " " << 0;
    QTest::newRow("withdrawn package") << "nas"
                                       << "192.168.1.20"
                                       << "5000" << 4;
}

void TestCreateTunnelForm::incompleteInputAsksForInput()
{
    QFETCH(QString, name);
    QFETCH(QString, ip);
    QFETCH(QString, port);
    QFETCH(int, package);
    CreateTunnelForm *form = loadedForm();
    child<QComboBox>(form, "comboBox")->setCurrentIndex(package);
    fillOrder(form, name, ip, port);
    child<QPushButton>(form, "pushButton")->click();
    QCOMPARE(child<QLabel>(form, "label_state")->text(), QStringLiteral("请输入完整内容"));
    QCOMPARE(child<QPushButton>(form, "pushButton")->text(), QStringLiteral("立即开通"));

    // Completed, the same form orders: nothing was sent before.
    api.setReply("POST", "port", FakeSigninApi::envelope(false, "失败", "x"));
    child<QComboBox>(form, "comboBox")->setCurrentIndex(0);
    fillOrder(form);
    child<QPushButton>(form, "pushButton")->click();
    QTRY_COMPARE(child<QLabel>(form, "label_state")->text(), QStringLiteral("失败,x"));
    QCOMPARE(api.count("POST", "port"), 1);
}

void TestCreateTunnelForm::twoQuickPressesSendOneOrder()
{
    CreateTunnelForm *form = loadedForm();
    child<QComboBox>(form, "comboBox")->setCurrentIndex(1);
    fillOrder(form);
    QPushButton *order = child<QPushButton>(form, "pushButton");
    api.hold("POST", "port");
    order->click();
    QCOMPARE(order->text(), QStringLiteral("请稍等"));
    order->click();
    QTRY_COMPARE(api.heldCount(), 1);
    order->click();
    // The answer is logged whole, its secrets masked.
    api.release(FakeSigninApi::json({{"flag", false},
                                     {"msg", QStringLiteral("余额不足")},
                                     {"data", "请充值"},
                                     {"token", "order-secret"}}));
    QTRY_COMPARE(child<QLabel>(form, "label_state")->text(), QStringLiteral("余额不足,请充值"));
    QVERIFY(wasLogged(QStringLiteral("response")));
    QVERIFY(!wasLogged(QStringLiteral("order-secret")));
    QCOMPARE(order->text(), QStringLiteral("立即开通"));
    QVERIFY(order->isEnabled());
    QCOMPARE(api.count("POST", "port"), 1);

    const ReceivedRequest sent = api.to("POST", "port").value(0);
    QCOMPARE(sent.itemNames(), (QStringList{"userId", "token", "clientIp", "tunnelName",
                                            "clientPort", "type", "priceId"}));
    QCOMPARE(sent.item("clientIp"), QStringLiteral("192.168.1.20"));
    QCOMPARE(sent.item("tunnelName"), QStringLiteral("家里NAS"));
    QCOMPARE(sent.item("clientPort"), QStringLiteral("5000"));
    QCOMPARE(sent.item("type"), QStringLiteral("0"));
    QCOMPARE(sent.item("priceId"), QStringLiteral("12"));
    QCOMPARE(sent.headers.value("content-type"), QByteArray("application/x-www-form-urlencoded"));
    QCOMPARE(sent.target, QByteArray("/port"));
}

void TestCreateTunnelForm::orderFailedOnNetwork()
{
    CreateTunnelForm *form = loadedForm();
    fillOrder(form);
    api.setReply("POST", "port", FakeSigninApi::status(500));
    QSignalSpy done(form, &CreateTunnelForm::payDone);
    child<QPushButton>(form, "pushButton")->click();
    QLabel *state = child<QLabel>(form, "label_state");
    QTRY_VERIFY(state->text().startsWith(QStringLiteral("开通失败，请稍后重试:")));
    QVERIFY(state->text().size() > QStringLiteral("开通失败，请稍后重试:").size());
    QCOMPARE(child<QPushButton>(form, "pushButton")->text(), QStringLiteral("立即开通"));
    QVERIFY(child<QWidget>(form, "widget_pay")->isHidden());
    QCOMPARE(done.count(), 0);

    // The next attempt gets a payment code; the earlier refusal does not stand beside it.
    api.setReply("POST", "port", FakeSigninApi::envelope(true, "ok", "https://pay.example/qr"));
    api.setReply("GET", "order/createQrCode", {200, "image/png", pngBytes(40)});
    child<QPushButton>(form, "pushButton")->click();
    QTRY_VERIFY(child<QWidget>(form, "widget_pay")->isVisible());
    QCOMPARE(state->text(), QString());
}

void TestCreateTunnelForm::tunnelOkEmitsAndCloses()
{
    QPointer<CreateTunnelForm> form = loadedForm();
    fillOrder(form);
    api.setReply("POST", "port", FakeSigninApi::envelope(true, "ok", "TunnelOk"));
    QSignalSpy done(form.data(), &CreateTunnelForm::payDone);
    QSignalSpy shown(form.data(), &CreateTunnelForm::paymentShown);
    child<QPushButton>(form, "pushButton")->click();
    QTRY_COMPARE(done.count(), 1);
    QTRY_VERIFY(form.isNull());
    QCOMPARE(api.count("GET", "order/createQrCode"), 0);
    QCOMPARE(shown.count(), 0);
}

void TestCreateTunnelForm::otherDataIsPaymentUrl()
{
    QPointer<CreateTunnelForm> form = loadedForm();
    fillOrder(form);
    // Differs from "TunnelOk" only in case: a payment URL (a strange one).
    api.setReply("POST", "port", FakeSigninApi::envelope(true, "ok", "tunnelok"));
    api.setReply("GET", "order/createQrCode", {200, "image/png", pngBytes(40)});
    QSignalSpy done(form.data(), &CreateTunnelForm::payDone);
    QSignalSpy shown(form.data(), &CreateTunnelForm::paymentShown);
    child<QPushButton>(form, "pushButton")->click();

    QTRY_COMPARE(shown.count(), 1);
    QLabel *qr = child<QLabel>(form, "label_qrcode");
    QTRY_VERIFY(!qr->pixmap(Qt::ReturnByValue).isNull());
    QCOMPARE(qr->pixmap(Qt::ReturnByValue).size(), QSize(40, 40));
    QVERIFY(child<QWidget>(form, "widget_pay")->isVisible());
    QCOMPARE(child<QPushButton>(form, "pushButton")->text(), QStringLiteral("等待支付"));
    QVERIFY(!child<QPushButton>(form, "pushButton")->isEnabled());
    QCOMPARE(done.count(), 0);
    QVERIFY(!form.isNull());
    QCOMPARE(api.to("GET", "order/createQrCode").value(0).target,
             QByteArray("/order/createQrCode?url=tunnelok?userId=u1&token=t1"));
}

void TestCreateTunnelForm::undecodableQrLeavesLabelEmpty()
{
    CreateTunnelForm *form = loadedForm();
    fillOrder(form);
    const QString payUrl = QStringLiteral("https://pay.example/qr?order=5&sum=9.9");
    api.setReply("POST", "port", FakeSigninApi::envelope(true, "ok", payUrl));
    api.setReply("GET", "order/createQrCode", {200, "image/png", "not an image"});
    child<QPushButton>(form, "pushButton")->click();
    QLabel *qr = child<QLabel>(form, "label_qrcode");
    QTRY_COMPARE(qr->text(), QString());
    QVERIFY(qr->pixmap(Qt::ReturnByValue).isNull());
    // The payment URL goes in as received, the account items after a second "?".
    QCOMPARE(api.to("GET", "order/createQrCode").value(0).target,
             QByteArray("/order/createQrCode?url=https://pay.example/qr?order=5&sum=9.9"
                        "?userId=u1&token=t1"));
}

void TestCreateTunnelForm::closeInPaymentStateEmitsNothing()
{
    QPointer<CreateTunnelForm> form = loadedForm();
    fillOrder(form);
    api.setReply("POST", "port", FakeSigninApi::envelope(true, "ok", "https://pay.example/1"));
    api.hold("GET", "order/createQrCode");
    QSignalSpy done(form.data(), &CreateTunnelForm::payDone);
    child<QPushButton>(form, "pushButton")->click();
    QTRY_VERIFY(child<QWidget>(form, "widget_pay")->isVisible());
    QCOMPARE(child<QLabel>(form, "label_qrcode")->text(), QStringLiteral("二维码加载中"));
    child<QPushButton>(form, "pushButton_2")->click();
    QTRY_VERIFY(form.isNull());
    QCOMPARE(done.count(), 0);
    // The image arriving now finds no form.
    QTRY_COMPARE(api.heldCount(), 1);
    api.release({200, "image/png", pngBytes(8)});
    QCOMPARE(done.count(), 0);
}

void TestCreateTunnelForm::paidEmitsAndCloses()
{
    QPointer<CreateTunnelForm> form = loadedForm();
    fillOrder(form);
    api.setReply("POST", "port", FakeSigninApi::envelope(true, "ok", "https://pay.example/1"));
    api.setReply("GET", "order/createQrCode", {200, "image/png", pngBytes(8)});
    QSignalSpy done(form.data(), &CreateTunnelForm::payDone);
    child<QPushButton>(form, "pushButton")->click();
    QTRY_VERIFY(child<QWidget>(form, "widget_pay")->isVisible());
    child<QPushButton>(form, "pushButton_3")->click();
    QCOMPARE(done.count(), 1);
    QTRY_VERIFY(form.isNull());
}

void TestCreateTunnelForm::answersAfterFormGoneDoNothing()
{
    api.hold("GET", "price");
    api.hold("GET", "appConfig/bvnotice_buy");
    auto *early = new CreateTunnelForm;
    QTRY_COMPARE(api.heldCount(), 2);
    delete early;
    api.release(FakeSigninApi::envelope(true, "ok", QVariantList{price(1, "a", 1, "1", 1)}));

    CreateTunnelForm *form = loadedForm();
    fillOrder(form);
    api.hold("POST", "port");
    QSignalSpy done(form, &CreateTunnelForm::payDone);
    child<QPushButton>(form, "pushButton")->click();
    QTRY_COMPARE(api.heldCount(), 1);
    delete form;
    api.release(FakeSigninApi::envelope(true, "ok", "TunnelOk"));
    // A later form still works: the late answers touched nothing.
    CreateTunnelForm *next = loadedForm();
    QCOMPARE(child<QComboBox>(next, "comboBox")->count(), 5);
    QCOMPARE(done.count(), 0);
}

QTEST_MAIN(TestCreateTunnelForm)
#include "tst_createtunnelform.moc"
