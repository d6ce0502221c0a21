// The reference service's HTTP API, driven as a black box: the real borvane-server on its own
// loopback address with a fresh database, called both through plain requests and through the
// client's own HttpRequest, so the wire forms the client uses are the ones tested.
#include "serverprocess.h"

#include "core/globals.h"
#include "net/httprequest.h"
#include "net/updatesignature.h"

#include <QCryptographicHash>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QTest>
#include <QUrlQuery>

#include <memory>
#include <vector>

namespace {

const QString Address = QStringLiteral("127.0.0.100");
const QString Base = QStringLiteral("http://127.0.0.100:8080/");
const QString DemoPhone = QStringLiteral("13800000000");
const QString DemoPassword = QStringLiteral("demo123456");

struct Answer
{
    int status = 0;
    QByteArray body;
    QByteArray contentType;
    QJsonObject json;
    bool flag() const { return json.value("flag").toBool(); }
    QString msg() const { return json.value("msg").toString(); }
    QString dataText() const { return json.value("data").toString(); }
};

// Query items encoded as the client encodes them.
QByteArray form(const QList<QPair<QString, QString>> &items)
{
    QUrlQuery q;
    for (const auto &item : items)
        q.addQueryItem(item.first, item.second);
    return q.query(QUrl::FullyEncoded).toUtf8();
}

// Requests from another loopback address, all sent before any answer is read; the JSON
// answers in the same order.
QList<QJsonObject> fromSource(const QString &source, const QList<QByteArray> &requests)
{
    std::vector<std::unique_ptr<QTcpSocket>> sockets;
    for (int i = 0; i < requests.size(); ++i) {
        sockets.push_back(std::make_unique<QTcpSocket>());
        sockets.back()->bind(QHostAddress(source));
        sockets.back()->connectToHost(Address, 8080);
        sockets.back()->waitForConnected(5000);
    }
    for (int i = 0; i < requests.size(); ++i) {
        sockets[size_t(i)]->write(requests[i]);
        sockets[size_t(i)]->flush();
    }
    QList<QJsonObject> answers;
    for (auto &s : sockets) {
        QByteArray all;
        while (s->state() == QAbstractSocket::ConnectedState && s->waitForReadyRead(20000))
            all += s->readAll();
        all += s->readAll();
        answers << QJsonDocument::fromJson(all.mid(all.indexOf("\r\n\r\n") + 4)).object();
    }
    return answers;
}

QByteArray rawRequest(const QByteArray &method, const QByteArray &pathAndQuery,
                      const QByteArray &body = {})
{
    QByteArray r = method + " /" + pathAndQuery + " HTTP/1.1\r\nHost: x\r\nConnection: close\r\n";
    if (method == "POST")
        r += "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: " +
             QByteArray::number(body.size()) + "\r\n";
    return r + "\r\n" + body;
}

QString verifyOf(const QString &phone)
{
    return QString::fromLatin1(
        QCryptographicHash::hash((phone.trimmed() + "qmz").toLatin1(), QCryptographicHash::Md5)
            .toHex());
}

} // namespace

class TestServerApi : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();

    void signIn();
    void registration();
    void accountChecks();
    void tunnelList();
    void changeTunnel();
    void orderFreeTunnel();
    void orderPaidTunnelAndPay();
    void publicCalls();
    void hostileRequests();
    void secretsStayOut();
    void signInThrottledPerSource();
    void accountCaps();
    void restartKeepsDataAndOptions();
    void migrateSqliteToPostgres();
    void releaseFolder();

private:
    Answer get(const QString &pathAndQuery);
    Answer post(const QString &path, const QByteArray &body);
    Answer finish(QNetworkReply *reply);
    QJsonObject signInAs(const QString &phone, const QString &password);
    QString codeFromLog(const QString &phone);

    QNetworkAccessManager nam;
    PgCluster cluster; // with BORVANE_TEST_DB=postgresql, the services' databases live here
    ServerProcess server{Address};
    QString userId;
    QString token;
    QString base = Base; // of get() and post()
};

Answer TestServerApi::finish(QNetworkReply *reply)
{
    Answer a;
    QSignalSpy done(reply, &QNetworkReply::finished);
    if (!reply->isFinished())
        done.wait(20000);
    a.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    a.body = reply->readAll();
    a.contentType = reply->header(QNetworkRequest::ContentTypeHeader).toByteArray();
    a.json = QJsonDocument::fromJson(a.body).object();
    reply->deleteLater();
    return a;
}

Answer TestServerApi::get(const QString &pathAndQuery)
{
    QNetworkRequest req(QUrl::fromEncoded((base + pathAndQuery).toUtf8()));
    return finish(nam.get(req));
}

Answer TestServerApi::post(const QString &path, const QByteArray &body)
{
    QNetworkRequest req(QUrl(base + path));
    req.setHeader(QNetworkRequest::ContentTypeHeader, "application/x-www-form-urlencoded");
    return finish(nam.post(req, body));
}

QJsonObject TestServerApi::signInAs(const QString &phone, const QString &password)
{
    const Answer a =
        get("user?" + form({{"userId", ""}, {"token", ""}, {"phone", phone}, {"pwd", password}}));
    return a.flag() ? a.json.value("data").toObject() : QJsonObject();
}

QString TestServerApi::codeFromLog(const QString &phone)
{
    // The log names the phone masked; the code itself is in the outbox beside the database.
    QFile outbox(server.databasePath() + ".sms");
    outbox.open(QIODevice::ReadOnly);
    const QRegularExpression re(" " + phone + " ([0-9]{6}) ");
    QString code;
    auto it = re.globalMatch(QString::fromUtf8(outbox.readAll()));
    while (it.hasNext())
        code = it.next().captured(1);
    return code;
}

void TestServerApi::initTestCase()
{
    if (qEnvironmentVariable("BORVANE_TEST_DB") == QLatin1String("postgresql")) {
        QString why;
        if (!cluster.start(why))
            QSKIP(qPrintable("no PostgreSQL to test on: " + why));
        PgCluster::active() = &cluster;
    }
    QVERIFY2(server.start({"--demo", "--ports", "21000-21009"}), server.log.constData());
    QCOMPARE(server.log.contains("db=postgresql://"), server.onPostgres());
    apiBaseUrl = Base;
    const QJsonObject data = signInAs(DemoPhone, DemoPassword);
    QVERIFY(!data.isEmpty());
    userId = QString::number(data.value("id").toInt());
    token = data.value("token").toString();
}

void TestServerApi::cleanupTestCase()
{
    QCOMPARE(server.stop(), 0);
    QVERIFY(server.log.contains("event=stopped"));
}

void TestServerApi::signIn()
{
    // As the sign-in window sends it: GET with empty userId and a stale token first.
    currentUserId.clear();
    currentToken = QStringLiteral("stale-token-from-last-run");
    const QVariantMap answer = callService(
        HttpRequest(apiBaseUrl + "user").addParam("phone", DemoPhone).addParam("pwd", DemoPassword),
        false);
    QVERIFY(answer.value("flag").toBool());
    const QVariantMap data = answer.value("data").toMap();
    QCOMPARE(data.value("id").toString(), userId);
    QCOMPARE(data.value("name").toString(), QStringLiteral("演示账户"));
    // Each sign-in has its own token; the earlier ones stay valid until they expire.
    const QString fresh = data.value("token").toString();
    QVERIFY(!fresh.isEmpty() && fresh != token);
    for (const QString &t : {token, fresh})
        QVERIFY(
            get("port/query/" + userId + "?" + form({{"userId", userId}, {"token", t}})).flag());

    // Typed with spaces around it, the password still signs in (the client saves it trimmed).
    QVERIFY(!signInAs(" " + DemoPhone + " ", " " + DemoPassword + " ").isEmpty());

    Answer a =
        get("user?" +
            form({{"userId", ""}, {"token", ""}, {"phone", DemoPhone}, {"pwd", "wrong-password"}}));
    QCOMPARE(a.status, 200);
    QVERIFY(!a.flag());
    QCOMPARE(a.dataText(), QStringLiteral("手机号或密码错误"));
    a = get("user?" +
            form({{"userId", ""}, {"token", ""}, {"phone", "13999999999"}, {"pwd", DemoPassword}}));
    QVERIFY(!a.flag());
    QCOMPARE(a.dataText(), QStringLiteral("手机号或密码错误"));
    a = get("user?" + form({{"userId", ""}, {"token", ""}, {"phone", DemoPhone}}));
    QVERIFY(!a.flag());
    QCOMPARE(a.msg(), QStringLiteral("参数不完整"));
    a = get("user?" + form({{"userId", ""}, {"token", ""}, {"phone", ""}, {"pwd", ""}}));
    QVERIFY(!a.flag());
    a = get("user?" + form({{"userId", ""},
                            {"token", ""},
                            {"phone", QString(3000, '1')},
                            {"pwd", QString(3000, 'x')}}));
    QCOMPARE(a.status, 200);
    QVERIFY(!a.flag());
}

void TestServerApi::registration()
{
    const QString phone = QStringLiteral("13911112222");
    const QString password = QStringLiteral("pa+ss word&=1");

    Answer a = post("user/getCode", form({{"userId", ""},
                                          {"token", ""},
                                          {"phone", phone},
                                          {"verify", verifyOf(phone).toUpper()}}));
    QVERIFY(!a.flag());
    a = post("user/getCode",
             form({{"userId", ""}, {"token", ""}, {"phone", phone}, {"verify", "0123"}}));
    QVERIFY(!a.flag());
    QVERIFY(codeFromLog(phone).isEmpty());
    a = post("user/getCode", form({{"userId", ""}, {"token", ""}, {"phone", phone}}));
    QCOMPARE(a.msg(), QStringLiteral("参数不完整"));
    a = post(
        "user/getCode",
        form({{"userId", ""}, {"token", ""}, {"phone", "12345"}, {"verify", verifyOf("12345")}}));
    QVERIFY(!a.flag());
    // A phone typed wrongly is named as such, whatever its signature.
    a = post("user/getCode",
             form({{"userId", ""}, {"token", ""}, {"phone", "1391111222"}, {"verify", "0123"}}));
    QCOMPARE(a.dataText(), QStringLiteral("手机号格式不正确"));
    a = post("user/getCode", form({{"userId", ""},
                                   {"token", ""},
                                   {"phone", DemoPhone},
                                   {"verify", verifyOf(DemoPhone)}}));
    QVERIFY(!a.flag()); // already registered

    // The phone item is sent untrimmed; the signature covers the trimmed number.
    currentUserId.clear();
    QVERIFY(callService(HttpRequest(apiBaseUrl + "user/getCode")
                            .addParam("phone", " " + phone + " ")
                            .addParam("verify", verifyOf(phone)),
                        true)
                .value("flag")
                .toBool());
    QVERIFY(server.waitForLog("event=code phone=139****2222"));
    const QString code = codeFromLog(phone);
    QCOMPARE(code.size(), 6);
    QVERIFY(!server.log.contains(phone.toUtf8()));
    QVERIFY(!server.log.contains(" " + code.toUtf8()));
    QCOMPARE(QFile::permissions(server.databasePath() + ".sms") &
                 (QFile::ReadGroup | QFile::ReadOther),
             QFile::Permissions());

    a = post("user/getCode",
             form({{"userId", ""}, {"token", ""}, {"phone", phone}, {"verify", verifyOf(phone)}}));
    QVERIFY(!a.flag()); // too soon for another
    QCOMPARE(codeFromLog(phone), code);

    const QString wrong = code == "000000" ? "111111" : "000000";
    a = post(
        "user",
        form(
            {{"userId", ""}, {"token", ""}, {"phone", phone}, {"pwd", password}, {"code", wrong}}));
    QVERIFY(!a.flag());
    QCOMPARE(a.dataText(), QStringLiteral("验证码错误"));
    a = post(
        "user",
        form({{"userId", ""}, {"token", ""}, {"phone", phone}, {"pwd", "12345"}, {"code", code}}));
    QVERIFY(!a.flag()); // password too short
    a = post("user", form({{"userId", ""},
                           {"token", ""},
                           {"phone", phone},
                           {"pwd", password},
                           {"code", "12ab56"}}));
    QVERIFY(!a.flag());
    a = post("user", form({{"userId", ""}, {"token", ""}, {"phone", phone}, {"pwd", password}}));
    QCOMPARE(a.msg(), QStringLiteral("参数不完整"));

    // Registered through the client's own POST: a '+' travels unencoded and means itself.
    QVERIFY(callService(HttpRequest(apiBaseUrl + "user")
                            .addParam("phone", phone)
                            .addParam("pwd", password)
                            .addParam("code", code),
                        true)
                .value("flag")
                .toBool());

    a = post(
        "user",
        form({{"userId", ""}, {"token", ""}, {"phone", phone}, {"pwd", password}, {"code", code}}));
    QVERIFY(!a.flag()); // registered already; the code was used up too

    const QJsonObject data = signInAs(phone, password);
    QVERIFY(!data.isEmpty());
    QVERIFY(data.value("id").toInt() != userId.toInt());
    QCOMPARE(data.value("name").toString(), QStringLiteral("139****2222"));
    QVERIFY(signInAs(phone, "pa ss word&=1").isEmpty());

    // The new account has no tunnels, and cannot read the demo account's.
    const QString otherId = QString::number(data.value("id").toInt());
    const QString otherToken = data.value("token").toString();
    a = get("port/query/" + otherId + "?" + form({{"userId", otherId}, {"token", otherToken}}));
    QVERIFY(a.flag());
    QCOMPARE(a.json.value("data").toArray().size(), 0);
    a = get("port/query/" + userId + "?" + form({{"userId", otherId}, {"token", otherToken}}));
    QVERIFY(!a.flag());
}

void TestServerApi::accountChecks()
{
    const QString list = "port/query/" + userId + "?";
    QVERIFY(get(list + form({{"userId", userId}, {"token", token}})).flag());
    const QList<QList<QPair<QString, QString>>> bad{
        {{"userId", userId}, {"token", token + "x"}},
        {{"userId", userId}, {"token", ""}},
        {{"userId", userId}},
        {{"token", token}},
        {{"userId", "1abc"}, {"token", token}},
        {{"userId", "-1"}, {"token", token}},
        {{"userId", QString(5000, '9')}, {"token", token}},
        {{"userId", userId}, {"token", QString(5000, 'a')}},
    };
    for (const auto &items : bad) {
        const Answer a = get(list + form(items));
        QCOMPARE(a.status, 200);
        QVERIFY2(!a.flag(), a.body.constData());
        QCOMPARE(a.msg(), QStringLiteral("登录状态已失效，请重新登录"));
    }
    Answer a = post("port/change", form({{"userId", userId},
                                         {"token", "nope"},
                                         {"tunnelId", "1"},
                                         {"tunnelToken", "x"},
                                         {"clientIp", "127.0.0.1"},
                                         {"clientPort", "80"},
                                         {"tunnelName", "n"},
                                         {"type", "1"}}));
    QVERIFY(!a.flag());
    a = post("port", form({{"userId", userId},
                           {"token", "nope"},
                           {"clientIp", "127.0.0.1"},
                           {"tunnelName", "n"},
                           {"clientPort", "80"},
                           {"type", "0"},
                           {"priceId", "1"}}));
    QVERIFY(!a.flag());
}

void TestServerApi::tunnelList()
{
    const Answer a =
        get("port/query/" + userId + "?" + form({{"userId", userId}, {"token", token}}));
    QVERIFY(a.flag());
    const QJsonArray list = a.json.value("data").toArray();
    QVERIFY(!list.isEmpty());
    const QJsonObject t = list.first().toObject();
    for (const char *member : {"id", "name", "serverPort", "clientPort", "type", "clientIp",
                               "stopTime", "domain", "serverIp", "token", "bdw"})
        QVERIFY2(t.contains(member), member);
    QCOMPARE(t.value("name").toString(), QStringLiteral("演示隧道"));
    QVERIFY(t.value("id").isDouble());
    QVERIFY(t.value("serverPort").toInt() >= 21000 && t.value("serverPort").toInt() <= 21009);
    QCOMPARE(t.value("serverIp").toString(), Address);
    QCOMPARE(t.value("clientIp").toString(), QStringLiteral("127.0.0.1"));
    QCOMPARE(t.value("clientPort").toInt(), 8081);
    QCOMPARE(t.value("bdw").toInt(), 10);
    QCOMPARE(t.value("type").toInt(), 1);
    QCOMPARE(t.value("domain").toString(),
             "t" + QString::number(t.value("id").toInt()) + ".localhost");
    QVERIFY(QRegularExpression("^[0-9a-f]{32}$").match(t.value("token").toString()).hasMatch());
    QVERIFY(QRegularExpression("^\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2}$")
                .match(t.value("stopTime").toString())
                .hasMatch());
}

void TestServerApi::changeTunnel()
{
    const QJsonObject t =
        get("port/query/" + userId + "?" + form({{"userId", userId}, {"token", token}}))
            .json.value("data")
            .toArray()
            .first()
            .toObject();
    const QString id = QString::number(t.value("id").toInt());
    const QString tunnelToken = t.value("token").toString();
    auto change = [&](const QString &ip, const QString &port, const QString &name,
                      const QString &type = "1", const QString &tid = QString(),
                      const QString &ttoken = QString()) {
        return post("port/change", form({{"userId", userId},
                                         {"token", token},
                                         {"tunnelId", tid.isNull() ? id : tid},
                                         {"tunnelToken", ttoken.isNull() ? tunnelToken : ttoken},
                                         {"clientIp", ip},
                                         {"clientPort", port},
                                         {"tunnelName", name},
                                         {"type", type}}));
    };
    Answer a = change("127.0.0.1", "80a", "web");
    QVERIFY(!a.flag());
    QVERIFY2(a.dataText().contains(QStringLiteral("内网端口")), a.body.constData());
    for (const QString &port :
         QStringList{"0", "65536", "-1", "", " ", "8 0", "99999999999999999999"})
        QVERIFY2(!change("127.0.0.1", port, "web").flag(), qPrintable(port));
    for (const QString &ip : QStringList{"nas.local", "256.1.1.1", "1.2.3", "", "1.2.3.4.5"})
        QVERIFY2(!change(ip, "80", "web").flag(), qPrintable(ip));
    QVERIFY(!change("127.0.0.1", "80", "").flag());
    QVERIFY(!change("127.0.0.1", "80", QString(1000, 'n')).flag());
    QVERIFY(!change("127.0.0.1", "80", "web", "x").flag());
    QVERIFY(!change("127.0.0.1", "80", "web", "2").flag());
    // Marks that turn text around would make a name read as something else.
    for (const QString &mark : {QString(QChar(0x202e)), QString(QChar(0x2066)),
                                QString(QChar(0x200f)), QString(QChar(0x0085))})
        QVERIFY(!change("127.0.0.1", "80", "web" + mark + "exe").flag());
    QVERIFY(!change("127.0.0.1", "80", "web", "1", "999").flag());
    QVERIFY(!change("127.0.0.1", "80", "web", "1", "abc").flag());
    QVERIFY(!change("127.0.0.1", "80", "web", "1", QString(), "wrong-token").flag());
    a = post("port/change", form({{"userId", userId}, {"token", token}, {"tunnelId", id}}));
    QCOMPARE(a.msg(), QStringLiteral("参数不完整"));

    // The edit form sends the port as typed, leading zero included.
    a = change("192.168.1.10", "08080", QStringLiteral("我的网站"));
    QVERIFY2(a.flag(), a.body.constData());
    QJsonObject after =
        get("port/query/" + userId + "?" + form({{"userId", userId}, {"token", token}}))
            .json.value("data")
            .toArray()
            .first()
            .toObject();
    QCOMPARE(after.value("clientIp").toString(), QStringLiteral("192.168.1.10"));
    QCOMPARE(after.value("clientPort").toInt(), 8080);
    QCOMPARE(after.value("name").toString(), QStringLiteral("我的网站"));
    QCOMPARE(after.value("serverPort"), t.value("serverPort"));
    QVERIFY(change("127.0.0.1", "8081", QStringLiteral("演示隧道")).flag());
}

void TestServerApi::orderFreeTunnel()
{
    auto order = [&](const QString &price, const QString &port = "3000") {
        return post("port", form({{"userId", userId},
                                  {"token", token},
                                  {"clientIp", "127.0.0.1"},
                                  {"tunnelName", "free"},
                                  {"clientPort", port},
                                  {"type", "0"},
                                  {"priceId", price}}));
    };
    auto count = [&] {
        return get("port/query/" + userId + "?" + form({{"userId", userId}, {"token", token}}))
            .json.value("data")
            .toArray()
            .size();
    };
    const int before = count();
    QVERIFY(!order("1", "30x0").flag());
    QVERIFY(!order("99").flag());
    QVERIFY(!order("").flag());
    QCOMPARE(count(), before);

    const Answer a = order("1");
    QVERIFY2(a.flag(), a.body.constData());
    QCOMPARE(a.dataText(), QStringLiteral("TunnelOk"));
    QCOMPARE(count(), before + 1);
    const QJsonArray list =
        get("port/query/" + userId + "?" + form({{"userId", userId}, {"token", token}}))
            .json.value("data")
            .toArray();
    QSet<int> ports;
    QSet<QString> domains;
    for (const auto &v : list) {
        ports.insert(v.toObject().value("serverPort").toInt());
        domains.insert(v.toObject().value("domain").toString());
    }
    QCOMPARE(ports.size(), list.size());
    QCOMPARE(domains.size(), list.size()); // the client keys its cards by domain
    // Two free tunnels per account: the demo one and this one.
    const Answer third = order("1");
    QVERIFY(!third.flag());
    QCOMPARE(count(), before + 1);
}

void TestServerApi::orderPaidTunnelAndPay()
{
    auto count = [&] {
        return get("port/query/" + userId + "?" + form({{"userId", userId}, {"token", token}}))
            .json.value("data")
            .toArray()
            .size();
    };
    const int before = count();
    const Answer a = post("port", form({{"userId", userId},
                                        {"token", token},
                                        {"clientIp", "127.0.0.1"},
                                        {"tunnelName", "paid"},
                                        {"clientPort", "22"},
                                        {"type", "0"},
                                        {"priceId", "2"}}));
    QVERIFY2(a.flag(), a.body.constData());
    const QString payUrl = a.dataText();
    QVERIFY2(payUrl.startsWith(Base + "order/pay/"), qPrintable(payUrl));
    QCOMPARE(count(), before);

    // The QR image exactly as the create form fetches it: the payment URL as received, then
    // the account items behind a second '?'.
    currentUserId = userId;
    currentToken = token;
    QByteArray image;
    bool finished = false, failed = false;
    HttpRequest(apiBaseUrl + "order/createQrCode?url=" + payUrl)
        .fetch([&](const QByteArray &chunk) { image += chunk; }, [&] { finished = true; },
               [&](const QString &) { failed = true; });
    QTRY_VERIFY_WITH_TIMEOUT(finished || failed, 20000);
    QVERIFY(finished);
    QVERIFY(image.startsWith("\x89PNG\r\n\x1a\n"));
    QImage qr;
    QVERIFY(qr.loadFromData(image));
    QVERIFY(qr.width() >= 21 * 8 && qr.width() == qr.height());

    // Someone else's token gets no image; nor does a URL that is not one of our orders.
    currentToken = "not-the-token";
    image.clear();
    finished = failed = false;
    HttpRequest(apiBaseUrl + "order/createQrCode?url=" + payUrl)
        .fetch([&](const QByteArray &chunk) { image += chunk; }, [&] { finished = true; },
               [&](const QString &) { failed = true; });
    QTRY_VERIFY_WITH_TIMEOUT(finished || failed, 20000);
    QVERIFY(failed);
    QVERIFY(!image.startsWith("\x89PNG"));
    Answer q = get("order/createQrCode?url=http://example.com/x?" +
                   form({{"userId", userId}, {"token", token}}));
    QVERIFY(q.status >= 400);
    QVERIFY(!q.body.startsWith("\x89PNG"));
    currentToken = token;

    // The payment page, then paying: the tunnel appears once, however often it is paid.
    const QString path = payUrl.mid(Base.size());
    Answer page = get(path);
    QCOMPARE(page.status, 200);
    QVERIFY(page.contentType.startsWith("text/html"));
    QVERIFY(QString::fromUtf8(page.body).contains(QStringLiteral("确认支付")));
    // Paying takes the token of the account that placed the order.
    const QJsonObject other = signInAs("13911112222", "pa+ss word&=1");
    for (const QByteArray &body : {QByteArray(), form({{"userId", userId}, {"token", "wrong"}}),
                                   form({{"userId", QString::number(other.value("id").toInt())},
                                         {"token", other.value("token").toString()}}),
                                   form({{"secret", "not-configured-here"}})}) {
        page = post(path, body);
        QCOMPARE(page.status, 403);
        QVERIFY(!QString::fromUtf8(page.body).contains(QStringLiteral("支付成功")));
        QCOMPARE(count(), before);
    }
    const QByteArray owner = form({{"userId", userId}, {"token", token}});
    page = post(path, owner);
    QVERIFY(QString::fromUtf8(page.body).contains(QStringLiteral("支付成功")));
    QCOMPARE(count(), before + 1);
    page = post(path, owner);
    QVERIFY(QString::fromUtf8(page.body).contains(QStringLiteral("该订单已支付")));
    QCOMPARE(count(), before + 1);
    QVERIFY(!server.log.contains(path.mid(path.lastIndexOf('/') + 1).toUtf8()));
    const QJsonObject t =
        get("port/query/" + userId + "?" + form({{"userId", userId}, {"token", token}}))
            .json.value("data")
            .toArray()
            .last()
            .toObject();
    QCOMPARE(t.value("name").toString(), QStringLiteral("paid"));
    QCOMPARE(t.value("bdw").toInt(), 20);
    QVERIFY(t.value("stopTime").toString() != QStringLiteral("2099-12-31 23:59:59"));
    QCOMPARE(get("order/pay/0123456789abcdef").status, 404);
}

void TestServerApi::publicCalls()
{
    Answer a = get("price?" + form({{"userId", userId}, {"token", token}}));
    QVERIFY(a.flag());
    const QJsonArray prices = a.json.value("data").toArray();
    QVERIFY(prices.size() >= 2);
    for (const auto &v : prices) {
        const QJsonObject p = v.toObject();
        for (const char *member : {"id", "name", "bdw", "pay", "info", "time"})
            QVERIFY2(p.contains(member), member);
        QVERIFY(p.value("pay").isString());
        QVERIFY(p.value("time").isDouble());
    }
    a = get("app_update/1?" + form({{"userId", userId}, {"token", token}}));
    QVERIFY(a.flag());
    const QJsonObject u = a.json.value("data").toObject();
    QCOMPARE(u.value("version").toString(), clientVersion);
    QVERIFY(u.contains("updateDesc") && u.contains("urls"));
    QCOMPARE(u.value("mustUpdate").toInt(), 0);
    QVERIFY(!get("app_update/7").flag());

    for (const char *key : {"bvnotice", "bvqqgroup", "bvqqkefu", "bvnotice_buy"}) {
        a = get(QString("appConfig/") + key + "?" + form({{"userId", ""}, {"token", ""}}));
        QVERIFY2(a.flag(), key);
        QVERIFY(!a.dataText().isEmpty());
    }
    QVERIFY(get("appConfig/bvqqgroup").dataText().startsWith(Base.chopped(1)));
    // The purchase notice and the free package promise the same number of free tunnels.
    QVERIFY(get("appConfig/bvnotice_buy").dataText().contains(QStringLiteral("免费开通两条")));
    QVERIFY(get("price")
                .json.value("data")
                .toArray()
                .first()
                .toObject()
                .value("info")
                .toString()
                .contains(QStringLiteral("两条")));
    QVERIFY(!get("appConfig/nothing").flag());

    for (const QString &page : QStringList{"", "console", "console/"}) {
        a = get(page);
        QCOMPARE(a.status, 200);
        QVERIFY(a.contentType.startsWith("text/html"));
        QVERIFY(a.body.contains("Borvane"));
    }
    a = get("no/such/call");
    QCOMPARE(a.status, 404);
    QVERIFY(!a.flag());
    QCOMPARE(a.msg(), QStringLiteral("接口不存在"));
}

void TestServerApi::hostileRequests()
{
    // A body far beyond any form the client sends is refused, not buffered.
    const Answer big = post("user", QByteArray(2 * 1024 * 1024, 'a'));
    QVERIFY(big.status == 413 || big.status == 0 || big.status == 400);
    // Invalid UTF-8 and control characters in a name are refused with a readable answer.
    const QJsonObject t =
        get("port/query/" + userId + "?" + form({{"userId", userId}, {"token", token}}))
            .json.value("data")
            .toArray()
            .first()
            .toObject();
    const QByteArray body = "userId=" + userId.toUtf8() + "&token=" + token.toUtf8() +
                            "&tunnelId=" + QByteArray::number(t.value("id").toInt()) +
                            "&tunnelToken=" + t.value("token").toString().toUtf8() +
                            "&clientIp=127.0.0.1&clientPort=80&type=1&tunnelName=%FF%FE%01";
    const Answer a = post("port/change", body);
    QCOMPARE(a.status, 200);
    QVERIFY(!a.flag());
    // The service is still there.
    QVERIFY(get("price").flag());
}

void TestServerApi::secretsStayOut()
{
    QVERIFY(!signInAs(DemoPhone, DemoPassword).isEmpty());
    const QByteArray passwords[] = {DemoPassword.toUtf8(), "pa+ss word&=1", "pa%2Bss"};
    QByteArray stored;
    // On PostgreSQL the server's own files are its administrator's care.
    for (const QString &suffix : QStringList{"", "-wal", "-shm"}) {
        QFile f(server.databasePath() + suffix);
        if (!server.onPostgres() && f.open(QIODevice::ReadOnly))
            stored += f.readAll();
    }
    if (!server.onPostgres()) {
        QVERIFY(stored.size() > 0);
        QCOMPARE(QFile::permissions(server.databasePath()) & (QFile::ReadGroup | QFile::ReadOther),
                 QFile::Permissions());
        QVERIFY(stored.contains("$argon2id$"));
    }
    for (const QByteArray &p : passwords) {
        QVERIFY2(!stored.contains(p), p.constData());
        QVERIFY2(!server.log.contains(p), p.constData());
    }
    // Nor does the account token reach the log; the database keeps only its hash.
    QVERIFY(!server.log.contains(token.toUtf8()));
    QVERIFY(!stored.contains(token.toUtf8()));
}

void TestServerApi::signInThrottledPerSource()
{
    // Parallel wrong passwords from one address: the first few are checked, the rest wait.
    QList<QByteArray> guesses;
    for (int i = 0; i < 12; ++i)
        guesses << rawRequest("GET", "user?" + form({{"userId", ""},
                                                     {"token", ""},
                                                     {"phone", DemoPhone},
                                                     {"pwd", "guess" + QString::number(i)}}));
    int checked = 0, waiting = 0, longest = 0;
    const QRegularExpression seconds(QStringLiteral("请(\\d+)秒后再试"));
    for (const QJsonObject &a : fromSource("127.0.0.60", guesses)) {
        QVERIFY(!a.value("flag").toBool());
        checked += a.value("data").toString() == QStringLiteral("手机号或密码错误");
        waiting += a.value("data").toString().startsWith(QStringLiteral("尝试过于频繁"));
        longest = qMax(longest, seconds.match(a.value("data").toString()).captured(1).toInt());
    }
    QCOMPARE(checked, 5);
    QCOMPARE(waiting, 7);
    // Each refused attempt counted too: the address's wait grew past the first 10 s.
    QVERIFY2(longest > 10, qPrintable(QString::number(longest)));
    // That address waits even with the right password; the owner elsewhere is not locked out.
    const QByteArray right = rawRequest(
        "GET",
        "user?" +
            form({{"userId", ""}, {"token", ""}, {"phone", DemoPhone}, {"pwd", DemoPassword}}));
    QVERIFY(!fromSource("127.0.0.60", {right}).first().value("flag").toBool());
    QVERIFY(fromSource("127.0.0.61", {right}).first().value("flag").toBool());
    QVERIFY(!signInAs(DemoPhone, DemoPassword).isEmpty());

    // 20 addresses guessing one phone's password put the phone past its own backoff: it holds
    // back the guessers, while its owner, from an address that has not failed, signs in.
    const QString phone = QStringLiteral("13911112222");
    auto signInFrom = [&](const QString &source, const QList<QString> &passwords) {
        QList<QByteArray> requests;
        for (const QString &pwd : passwords)
            requests << rawRequest(
                "GET",
                "user?" + form({{"userId", ""}, {"token", ""}, {"phone", phone}, {"pwd", pwd}}));
        return fromSource(source, requests);
    };
    for (int i = 0; i < 20; ++i)
        signInFrom("127.0.0." + QString::number(70 + i), {"wrong-a", "wrong-b"});
    QVERIFY(!signInFrom("127.0.0.70", {"pa+ss word&=1"}).first().value("flag").toBool());
    QVERIFY(signInFrom("127.0.0.90", {"pa+ss word&=1"}).first().value("flag").toBool());

    // Codes: a daily number per address.
    QList<QByteArray> requests;
    for (int i = 0; i < 21; ++i) {
        const QString phone = "1370000" + QString::number(1000 + i);
        requests << rawRequest(
            "POST", "user/getCode",
            form({{"userId", ""}, {"token", ""}, {"phone", phone}, {"verify", verifyOf(phone)}}));
    }
    int sent = 0;
    QString refusal;
    for (const QByteArray &r : requests) {
        const QJsonObject a = fromSource("127.0.0.62", {r}).first();
        sent += a.value("flag").toBool();
        if (!a.value("flag").toBool())
            refusal = a.value("data").toString();
    }
    QCOMPARE(sent, 20);
    QCOMPARE(refusal, QStringLiteral("今日获取验证码次数过多，请明天再试"));
}

void TestServerApi::accountCaps()
{
    QCOMPARE(server.stop(), 0);
    QVERIFY(server.start({"--ports", "21000-21009", "--max-tunnels", "5", "--max-pending-orders",
                          "2", "--code-guesses-per-day", "3"}));
    auto count = [&] {
        return get("port/query/" + userId + "?" + form({{"userId", userId}, {"token", token}}))
            .json.value("data")
            .toArray()
            .size();
    };
    auto order = [&] {
        return post("port", form({{"userId", userId},
                                  {"token", token},
                                  {"clientIp", "127.0.0.1"},
                                  {"tunnelName", "more"},
                                  {"clientPort", "22"},
                                  {"type", "1"},
                                  {"priceId", "2"}}));
    };
    QCOMPARE(count(), 3);
    const Answer first = order();
    const Answer second = order();
    QVERIFY(first.flag() && second.flag());
    Answer a = order();
    QVERIFY(!a.flag());
    QCOMPARE(a.dataText(), QStringLiteral("待支付的订单过多，请先支付已有订单，或24小时后再试"));
    const QByteArray owner = form({{"userId", userId}, {"token", token}});
    QVERIFY(QString::fromUtf8(post(first.dataText().mid(Base.size()), owner).body)
                .contains(QStringLiteral("支付成功")));
    QCOMPARE(count(), 4);
    // The last place is the unpaid order's: no further order, which could not become a tunnel.
    a = order();
    QVERIFY(!a.flag());
    QCOMPARE(a.dataText(), QStringLiteral("每个账户最多开通5条隧道"));
    QVERIFY(QString::fromUtf8(post(second.dataText().mid(Base.size()), owner).body)
                .contains(QStringLiteral("支付成功")));
    QCOMPARE(count(), 5);

    // The outbox of codes stays the service's own: a mode someone widened is narrowed again.
    QFile outbox(server.databasePath() + ".sms");
    QVERIFY(outbox.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther));

    // Wrong verification codes: a few per phone and day, whichever code they are for.
    const QString phone = QStringLiteral("13911113333");
    QVERIFY(
        post("user/getCode",
             form({{"userId", ""}, {"token", ""}, {"phone", phone}, {"verify", verifyOf(phone)}}))
            .flag());
    const QString code = codeFromLog(phone);
    const QString wrong = code == "000000" ? "111111" : "000000";
    auto registerWith = [&](const QString &c) {
        return post("user", form({{"userId", ""},
                                  {"token", ""},
                                  {"phone", phone},
                                  {"pwd", "secret123"},
                                  {"code", c}}));
    };
    for (int i = 0; i < 3; ++i)
        QCOMPARE(registerWith(wrong).dataText(), QStringLiteral("验证码错误"));
    QCOMPARE(registerWith(code).dataText(), QStringLiteral("今日验证码错误次数过多，请明天再试"));
    QCOMPARE(outbox.permissions() & QFile::ReadOther, QFile::Permissions());
    // And a link put in its place is not followed.
    const QString elsewhere = server.dir.filePath(QStringLiteral("elsewhere"));
    QVERIFY(QFile::rename(outbox.fileName(), elsewhere));
    QVERIFY(QFile::link(elsewhere, outbox.fileName()));
    const QString other = QStringLiteral("13911114444");
    QVERIFY(
        !post("user/getCode",
              form({{"userId", ""}, {"token", ""}, {"phone", other}, {"verify", verifyOf(other)}}))
             .flag());
    QFile moved(elsewhere);
    QVERIFY(moved.open(QIODevice::ReadOnly) && !moved.readAll().contains(other.toUtf8()));
}

void TestServerApi::restartKeepsDataAndOptions()
{
    QCOMPARE(server.stop(), 0);
    const int migrated = server.log.count("event=migrated");
    QVERIFY(server.start({"--ports", "21000-21009"}));
    QCOMPARE(server.log.count("event=migrated"), migrated); // schema already current
    // A token survives a restart.
    QVERIFY(
        get("port/query/" + userId + "?" + form({{"userId", userId}, {"token", token}})).flag());
    QVERIFY(!signInAs(DemoPhone, DemoPassword).isEmpty());
    QVERIFY(!signInAs("13911112222", "pa+ss word&=1").isEmpty());

    QProcess help;
    help.start(QStringLiteral(BORVANE_SERVER_BIN), {"--help"});
    QVERIFY(help.waitForFinished(5000));
    QCOMPARE(help.exitCode(), 0);
    QVERIFY(help.readAllStandardOutput().contains("--public-host"));
    for (const QStringList &args : QList<QStringList>{{"--bogus"},
                                                      {"--api-port", "http"},
                                                      {"--ports", "300-200"},
                                                      {"--bind", "localhost"},
                                                      {"--api-port"},
                                                      {"--http-port", "8888"},
                                                      {"--tls-cert", "only-the-cert.pem"},
                                                      {"--metrics", "nowhere:x"},
                                                      {"--config", "/no/such/file"},
                                                      {"--role", "both"}}) {
        QProcess bad;
        bad.start(QStringLiteral(BORVANE_SERVER_BIN), args);
        QVERIFY(bad.waitForFinished(5000));
        QCOMPARE(bad.exitCode(), 2);
        QVERIFY(!bad.readAllStandardError().isEmpty());
    }
    // A file that is not a database is reported, not overwritten.
    QTemporaryDir dir;
    QFile junk(dir.filePath("junk.db"));
    QVERIFY(junk.open(QIODevice::WriteOnly));
    junk.write(QByteArray(4096, 'j'));
    junk.close();
    QProcess broken;
    broken.start(
        QStringLiteral(BORVANE_SERVER_BIN),
        {"--bind", Address, "--api-port", "8090", "--relay-port", "8898", "--db", junk.fileName()});
    QVERIFY(broken.waitForFinished(10000));
    QCOMPARE(broken.exitCode(), 1);
    QVERIFY(broken.readAllStandardError().contains("open-failed"));
    QFile check(junk.fileName());
    QVERIFY(check.open(QIODevice::ReadOnly));
    QCOMPARE(check.readAll(), QByteArray(4096, 'j'));

    // On an IPv6 address the gate reads each peer's address, for its per-source counts.
    ServerProcess six(QStringLiteral("::1"));
    QVERIFY(six.start({"--api-port", "8091", "--relay-port", "8899", "--ports", "21010-21019"}));
    QNetworkReply *reply = nam.get(QNetworkRequest(QUrl("http://[::1]:8091/price")));
    QCOMPARE(finish(reply).status, 200);
    QVERIFY(six.waitForLog("path=/price status=200 peer=::1"));
}

// An operator's release: a key made once, a folder signed with it, served with its files.
void TestServerApi::migrateSqliteToPostgres()
{
    PgCluster *cluster = PgCluster::active();
    if (!cluster)
        QSKIP("runs with the test's PostgreSQL cluster (BORVANE_TEST_DB=postgresql)");
    base = QStringLiteral("http://127.0.0.130:8080/");
    // An SQLite deployment with the demo account, a session and a tunnel.
    PgCluster::active() = nullptr;
    ServerProcess old(QStringLiteral("127.0.0.130"));
    const bool started = old.start({"--demo", "--ports", "21000-21009"});
    PgCluster::active() = cluster;
    QVERIFY2(started, old.log.constData());
    const QJsonObject data = signInAs(DemoPhone, DemoPassword);
    const QString oldToken = data.value("token").toString();
    const QString id = QString::number(data.value("id").toInt());
    QVERIFY(!oldToken.isEmpty());
    const QString query = "port/query/" + id + "?" + form({{"userId", id}, {"token", oldToken}});
    const QJsonArray tunnels = get(query).json.value("data").toArray();
    QCOMPARE(tunnels.size(), 1);
    QCOMPARE(old.stop(), 0);

    ServerProcess moved(QStringLiteral("127.0.0.130"));
    moved.databaseUrl = cluster->createDatabase();
    auto migrate = [&] {
        return QProcess::execute(
            ServerProcess::program(),
            {"migrate-db", "--from", old.databasePath(), "--to", moved.databaseUrl});
    };
    QCOMPARE(migrate(), 0);
    QCOMPARE(migrate(), 1); // not over data already there
    QVERIFY2(moved.start({"--ports", "21000-21009"}), moved.log.constData());
    // The session, the tunnel and its token came over; new rows number on from the old ones.
    const Answer list = get(query);
    QVERIFY(list.flag());
    QCOMPARE(list.json.value("data").toArray(), tunnels);
    const Answer order = post("port", form({{"userId", id},
                                            {"token", oldToken},
                                            {"priceId", "1"},
                                            {"tunnelName", "second"},
                                            {"clientIp", "127.0.0.1"},
                                            {"clientPort", "22"},
                                            {"type", "1"}}));
    QVERIFY2(order.flag(), order.body.constData());
    const QJsonArray after = get(query).json.value("data").toArray();
    QCOMPARE(after.size(), 2);
    QVERIFY(after.at(1).toObject().value("id").toInt() >
            tunnels.at(0).toObject().value("id").toInt());
    QVERIFY(!signInAs(DemoPhone, DemoPassword).isEmpty());
    QCOMPARE(moved.stop(), 0);
    base = Base;
}

void TestServerApi::releaseFolder()
{
    QTemporaryDir dir;
    const QString folder = dir.filePath("release");
    QVERIFY(QDir().mkpath(folder));
    const QMap<QString, QByteArray> files{{"borvane", "client 1.0.1"},
                                          {QStringLiteral("客户端.bin"), "more"},
                                          {"release.json", R"({"version": "1.0.1",
                                            "updateDesc": "fixes", "mustUpdate": 1})"}};
    for (auto it = files.cbegin(); it != files.cend(); ++it) {
        QFile f(folder + "/" + it.key());
        QVERIFY(f.open(QIODevice::WriteOnly) && f.write(it.value()) == it.value().size());
    }
    auto run = [](const QStringList &args, QByteArray *out = nullptr) {
        QProcess p;
        p.start(QStringLiteral(BORVANE_SERVER_BIN), args);
        p.waitForFinished(10000);
        if (out)
            *out = p.readAllStandardOutput().trimmed();
        return p.exitCode();
    };
    QByteArray publicHex;
    QCOMPARE(run({"keygen", dir.filePath("release.key")}, &publicHex), 0);
    QCOMPARE(publicHex.size(), 64);
    QCOMPARE(run({"sign-release", folder, "--key", dir.filePath("release.key")}), 0);
    QFile signedList(folder + "/manifest.json");
    QVERIFY(signedList.open(QIODevice::ReadOnly));
    const auto manifest =
        updatesignature::verify(signedList.readAll(), QByteArray::fromHex(publicHex), nullptr);
    QVERIFY(manifest);
    QCOMPARE(manifest->version, QStringLiteral("1.0.1"));
    QCOMPARE(manifest->files.size(), 2);
    // The secret key never travels with the release.
    QVERIFY(QFile::copy(dir.filePath("release.key"), folder + "/.key"));
    QCOMPARE(run({"sign-release", folder, "--key", folder + "/.key"}), 1);
    QVERIFY(QFile::remove(folder + "/.key"));

    QCOMPARE(server.stop(), 0);
    QVERIFY2(server.start({"--ports", "21000-21009", "--update-dir", folder, "--update-key",
                           dir.filePath("release.key")}),
             server.log.constData());
    const Answer info = get("app_update/1");
    QVERIFY(info.flag());
    const QJsonObject data = info.json.value("data").toObject();
    QCOMPARE(data.value("version").toString(), QStringLiteral("1.0.1"));
    QCOMPARE(data.value("mustUpdate").toInt(), 1);
    const QStringList urls = data.value("urls").toString().split("|||");
    QCOMPARE(urls.size(), 2);
    for (const QString &url : urls) {
        const QString name = QUrl::fromUserInput(url).fileName();
        QVERIFY2(url.startsWith(Base + "update/"), qPrintable(url));
        QCOMPARE(get(url.mid(Base.size())).body, files.value(name));
    }
    QVERIFY(updatesignature::verify(get("update/manifest.json").body,
                                    QByteArray::fromHex(publicHex), nullptr));
    QCOMPARE(get("update/release.json").status, 404);
    QCOMPARE(get("update/..%2Frelease.key").status, 404);
}

QTEST_GUILESS_MAIN(TestServerApi)
#include "tst_serverapi.moc"
