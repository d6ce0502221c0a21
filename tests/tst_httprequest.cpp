#include "core/globals.h"
#include "net/api.h"
#include "net/httprequest.h"
#include "platform/environment.h"

#include "fakehttpbase.h"

#include <QNetworkProxy>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>
#include <QTimer>
#include <QtTest>

#include <functional>
#include <memory>

namespace {

const QHostAddress ServerAddress(QStringLiteral("127.0.0.80"));
const QHostAddress SilentAddress(QStringLiteral("127.0.0.81"));
constexpr int ShortTimeoutMs = 400;

// A tiny HTTP/1.1 service on loopback: records every request and lets the test answer it.
class FakeHttpServer : public FakeHttpBase
{
public:
    using Responder = std::function<void(QTcpSocket *socket, const ReceivedRequest &request)>;

    QList<ReceivedRequest> received;
    Responder responder;

    bool start(const QHostAddress &address = ServerAddress) { return listen(address, 0); }

    QString url(const QString &path) const { return baseUrl() + path; }

    static void replyJson(QTcpSocket *socket, const QByteArray &body)
    {
        reply(socket, "200 OK", body, {{"Content-Type", "application/json"}});
    }

protected:
    void handle(QTcpSocket *socket, const ReceivedRequest &request) override
    {
        received.append(request);
        if (responder)
            responder(socket, request);
    }
};

// What the callbacks of one request saw.
struct Outcome
{
    int successes = 0;
    int failures = 0;
    bool flag = false;
    QVariantMap data;
    QString failure;
    bool onGuiThread = true;

    int calls() const { return successes + failures; }

    // Sends request as a GET that reports here.
    void get(HttpRequest request) { request.get(onSuccess(), onFailure()); }

    HttpRequest::SuccessHandler onSuccess()
    {
        return [this](bool f, const QVariantMap &d) {
            ++successes;
            flag = f;
            data = d;
            onGuiThread = onGuiThread && QThread::currentThread() == qApp->thread();
        };
    }
    HttpRequest::FailureHandler onFailure()
    {
        return [this](const QString &message) {
            ++failures;
            failure = message;
            onGuiThread = onGuiThread && QThread::currentThread() == qApp->thread();
        };
    }
};

// A window's stand-in: its answers arrive through member functions.
struct Receiver : QObject
{
    explicit Receiver(Outcome *outcome) : outcome(outcome) {}
    Outcome *outcome;
    void answered(bool flag, const QVariantMap &data) { outcome->onSuccess()(flag, data); }
    void failed(const QString &message) { outcome->onFailure()(message); }
};

} // namespace

class TstHttpRequest : public QObject
{
    Q_OBJECT

private:
    FakeHttpServer *server = nullptr;

    // Answers every request with the same JSON body.
    void answerJson(const QByteArray &body)
    {
        server->responder = [body](QTcpSocket *s, const ReceivedRequest &) {
            FakeHttpServer::replyJson(s, body);
        };
    }
    std::unique_ptr<Environment::Scope> environment;

private slots:
    void initTestCase()
    {
        // The fake service is on loopback: a proxy from the environment must not get in between.
        QNetworkProxy::setApplicationProxy(QNetworkProxy::NoProxy);
    }

    void init()
    {
        currentUserId = QStringLiteral("42");
        currentToken = QStringLiteral("tok-secret");
        environment = std::make_unique<Environment::Scope>();
        server = new FakeHttpServer;
        QVERIFY(server->start());
    }

    void cleanup()
    {
        delete server;
        server = nullptr;
        environment.reset();
    }

    // ---- What is sent ----

    void accountItemsAreTakenAtConstruction()
    {
        // Before sign-in: no user id yet, the token restored at start-up.
        currentUserId.clear();
        currentToken = QStringLiteral("restored");
        answerJson(R"({"flag": true})");
        Outcome outcome;
        {
            HttpRequest request(server->url(QStringLiteral("port/query/")));
            currentToken = QStringLiteral("set-after-construction");
            currentUserId = QStringLiteral("7");
            request.get(outcome.onSuccess(), outcome.onFailure());
        } // the request object is gone while the call is in flight
        QTRY_COMPARE(outcome.calls(), 1);
        QCOMPARE(outcome.successes, 1);
        QCOMPARE(server->received.size(), 1);
        QCOMPARE(server->received.first().method, QByteArray("GET"));
        QCOMPARE(server->received.first().target,
                 QByteArray("/port/query/?userId=&token=restored"));
    }

    void valuesAreFullyEncoded_data()
    {
        QTest::addColumn<QString>("value");
        QTest::addColumn<QByteArray>("encoded");
        QTest::newRow("ampersand and equals") << QStringLiteral("a&b=c") << QByteArray("a%26b%3Dc");
        QTest::newRow("plus stays") << QStringLiteral("1+1") << QByteArray("1+1");
        QTest::newRow("space") << QStringLiteral("a b") << QByteArray("a%20b");
        QTest::newRow("chinese") << QStringLiteral("隧道") << QByteArray("%E9%9A%A7%E9%81%93");
        QTest::newRow("hash and question mark") << QStringLiteral("#?") << QByteArray("%23?");
        QTest::newRow("empty") << QString() << QByteArray();
        QTest::newRow("percent") << QStringLiteral("100%") << QByteArray("100%25");
        QTest::newRow("percent and hex digits") << QStringLiteral("a%41") << QByteArray("a%2541");
    }
    void valuesAreFullyEncoded()
    {
        QFETCH(QString, value);
        QFETCH(QByteArray, encoded);
        answerJson(R"({"flag": true})");
        Outcome outcome;
        HttpRequest(server->url(QStringLiteral("user")))
            .addParam(QStringLiteral("phone"), value)
            .addParam(QStringLiteral("phone"), QStringLiteral("dup"))
            .get(outcome.onSuccess(), outcome.onFailure());
        QTRY_COMPARE(outcome.calls(), 1);
        QCOMPARE(outcome.successes, 1);
        QCOMPARE(server->received.first().target,
                 "/user?userId=42&token=tok-secret&phone=" + encoded + "&phone=dup");
    }

    void getAppendsQueryAfterAnExistingOne()
    {
        server->responder = [](QTcpSocket *s, const ReceivedRequest &) {
            FakeHttpServer::reply(s, "200 OK", "png");
        };
        QByteArray body;
        bool finished = false;
        HttpRequest(server->url(QStringLiteral("order/createQrCode?url=")) +
                    QStringLiteral("http://pay.example/x"))
            .fetch([&](const QByteArray &chunk) { body += chunk; }, [&]() { finished = true; },
                   nullptr);
        QTRY_VERIFY(finished);
        QCOMPARE(body, QByteArray("png"));
        QCOMPARE(
            server->received.first().target,
            QByteArray("/order/createQrCode?url=http://pay.example/x?userId=42&token=tok-secret"));
    }

    void postSendsItemsAsBody()
    {
        answerJson(R"({"flag": true, "msg": "ok"})");
        Outcome outcome;
        HttpRequest(api::url(api::ChangeTunnel).replace(apiBaseUrl, server->url(QString())))
            .addParam(QLatin1String(api::TunnelName), QStringLiteral("家里 NAS&1"))
            .addHeader(QLatin1String(api::ContentTypeHeader), QStringLiteral("text/plain"))
            .addHeader(QLatin1String(api::ContentTypeHeader), QLatin1String(api::FormContentType))
            .addHeader(QStringLiteral("x-note"), QStringLiteral("é"))
            .post(outcome.onSuccess(), outcome.onFailure());
        QTRY_COMPARE(outcome.calls(), 1);
        QCOMPARE(outcome.successes, 1);
        const ReceivedRequest &r = server->received.first();
        QCOMPARE(r.method, QByteArray("POST"));
        QCOMPARE(r.target, QByteArray("/port/change"));
        QCOMPARE(r.body,
                 QByteArray("userId=42&token=tok-secret&tunnelName=%E5%AE%B6%E9%87%8C%20NAS%261"));
        QCOMPARE(r.headers.value("content-type"), QByteArray("application/x-www-form-urlencoded"));
        QCOMPARE(r.headers.value("x-note"), QString("é").toUtf8());
    }

    void catalogueBuildsUrlsOnTheBase()
    {
        const QString saved = apiBaseUrl;
        apiBaseUrl = QStringLiteral("http://api.test/");
        QCOMPARE(api::url(api::SignIn), QStringLiteral("http://api.test/user"));
        QCOMPARE(api::url(api::TunnelList, QStringLiteral("42")),
                 QStringLiteral("http://api.test/port/query/42"));
        QCOMPARE(api::url(api::PaymentQrImage, QStringLiteral("u")),
                 QStringLiteral("http://api.test/order/createQrCode?url=u"));
        apiBaseUrl = saved;
    }

    // ---- Answers ----

    void envelopeFlag_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<bool>("flag");
        QTest::newRow("true") << QByteArray(R"({"flag": true, "msg": "m"})") << true;
        QTest::newRow("false") << QByteArray(R"({"flag": false, "msg": "m"})") << false;
        QTest::newRow("missing") << QByteArray(R"({"msg": "m"})") << false;
        QTest::newRow("string 0") << QByteArray(R"({"flag": "0"})") << false;
        QTest::newRow("string false") << QByteArray(R"({"flag": "false"})") << false;
        QTest::newRow("empty string") << QByteArray(R"({"flag": ""})") << false;
        QTest::newRow("string yes") << QByteArray(R"({"flag": "yes"})") << true;
        QTest::newRow("number 1") << QByteArray(R"({"flag": 1})") << true;
        QTest::newRow("number 0") << QByteArray(R"({"flag": 0})") << false;
        QTest::newRow("null") << QByteArray(R"({"flag": null})") << false;
    }
    void envelopeFlag()
    {
        QFETCH(QByteArray, body);
        QFETCH(bool, flag);
        answerJson(body);
        Outcome outcome;
        outcome.get(HttpRequest(server->url(QStringLiteral("user"))));
        QTRY_COMPARE(outcome.calls(), 1);
        QCOMPARE(outcome.successes, 1);
        QCOMPARE(outcome.flag, flag);
        QVERIFY(outcome.onGuiThread);
        QVERIFY(outcome.data.contains(QStringLiteral("flag")));
        if (body.contains("msg"))
            QCOMPARE(outcome.data.value(QStringLiteral("msg")).toString(), QStringLiteral("m"));
    }

    void dataReachesTheCaller()
    {
        answerJson(R"({"flag": true, "data": {"id": 5, "name": "张三", "token": "t"}})");
        Outcome outcome;
        outcome.get(HttpRequest(server->url(QStringLiteral("user"))));
        QTRY_COMPARE(outcome.calls(), 1);
        const QVariantMap data = outcome.data.value(QStringLiteral("data")).toMap();
        QCOMPARE(data.value(QStringLiteral("name")).toString(), QStringLiteral("张三"));
        QCOMPARE(data.value(QStringLiteral("id")).toInt(), 5);
    }

    void nonObjectAnswerGivesAnEmptyFlagOnly_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::newRow("empty array") << QByteArray("[]");
        QTest::newRow("array") << QByteArray(R"([{"flag": true}])");
    }
    void nonObjectAnswerGivesAnEmptyFlagOnly()
    {
        QFETCH(QByteArray, body);
        answerJson(body);
        Outcome outcome;
        outcome.get(HttpRequest(server->url(QStringLiteral("price"))));
        QTRY_COMPARE(outcome.calls(), 1);
        QCOMPARE(outcome.successes, 1);
        QCOMPARE(outcome.flag, false);
        QCOMPARE(outcome.data.size(), 1);
        QVERIFY(outcome.data.contains(QStringLiteral("flag")));
        QVERIFY(!outcome.data.value(QStringLiteral("flag")).isValid());
    }

    void bodyThatIsNotJsonFails_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("html") << QByteArray("<html>busy</html>");
        QTest::newRow("truncated") << QByteArray(R"({"flag": tr)");
    }
    void bodyThatIsNotJsonFails()
    {
        QFETCH(QByteArray, body);
        server->responder = [body](QTcpSocket *s, const ReceivedRequest &) {
            FakeHttpServer::reply(s, "200 OK", body);
        };
        Outcome outcome;
        HttpRequest(server->url(QStringLiteral("user")))
            .addParam(QStringLiteral("phone"), QStringLiteral("138"))
            .addParam(QStringLiteral("pwd"), QStringLiteral("pa ss&word"))
            .get(outcome.onSuccess(), outcome.onFailure());
        QTRY_COMPARE(outcome.calls(), 1);
        QCOMPARE(outcome.failures, 1);
        QCOMPARE(outcome.failure, QStringLiteral("JSON解析失败：") +
                                      server->url(QStringLiteral("user")) +
                                      QStringLiteral("?userId=42&token=***&phone=138&pwd=***"));
        // The request itself carried the real values.
        QCOMPARE(server->received.first().target,
                 QByteArray("/user?userId=42&token=tok-secret&phone=138&pwd=pa%20ss%26word"));
    }

    void httpErrorStatusFails_data()
    {
        QTest::addColumn<QByteArray>("status");
        QTest::newRow("404") << QByteArray("404 Not Found");
        QTest::newRow("500") << QByteArray("500 Internal Server Error");
        QTest::newRow("401") << QByteArray("401 Unauthorized");
    }
    void httpErrorStatusFails()
    {
        QFETCH(QByteArray, status);
        // A JSON body must not turn an error status into a success.
        server->responder = [status](QTcpSocket *s, const ReceivedRequest &) {
            FakeHttpServer::reply(s, status, R"({"flag": true})");
        };
        Outcome outcome;
        HttpRequest(server->url(QStringLiteral("port/change")))
            .addParam(QStringLiteral("tunnelToken"), QStringLiteral("tunnel-secret"))
            .get(outcome.onSuccess(), outcome.onFailure());
        QTRY_COMPARE(outcome.calls(), 1);
        QCOMPARE(outcome.failures, 1);
        QVERIFY(!outcome.failure.isEmpty());
        // The library quotes the URL in its text: the secrets in it are masked.
        if (!status.startsWith("401"))
            QVERIFY2(
                outcome.failure.contains(QStringLiteral("?userId=42&token=***&tunnelToken=***")),
                qPrintable(outcome.failure));
        QVERIFY2(!outcome.failure.contains(QStringLiteral("tok-secret")),
                 qPrintable(outcome.failure));
        QVERIFY2(!outcome.failure.contains(QStringLiteral("tunnel-secret")),
                 qPrintable(outcome.failure));
        QTest::qWait(100); // a late second callback would show here
        QCOMPARE(outcome.calls(), 1);
    }

    void connectionRefusedFails()
    {
        // A port that was free a moment ago and nobody listens on.
        QTcpServer probe;
        QVERIFY(probe.listen(SilentAddress, 0));
        const quint16 port = probe.serverPort();
        probe.close();
        Outcome outcome;
        HttpRequest(QStringLiteral("http://127.0.0.81:%1/user").arg(port))
            .post(outcome.onSuccess(), outcome.onFailure());
        QTRY_COMPARE(outcome.calls(), 1);
        QCOMPARE(outcome.failures, 1);
        QVERIFY(outcome.failure.contains(QStringLiteral("refused"), Qt::CaseInsensitive));
    }

    void redirectIsNotFollowed()
    {
        server->responder = [this](QTcpSocket *s, const ReceivedRequest &r) {
            if (r.target.startsWith("/moved"))
                FakeHttpServer::replyJson(s, R"({"flag": true})");
            else
                FakeHttpServer::reply(
                    s, "302 Found", "<a>moved</a>",
                    {{"Location", server->url(QStringLiteral("moved")).toUtf8()}});
        };
        Outcome outcome;
        outcome.get(HttpRequest(server->url(QStringLiteral("user"))));
        QTRY_COMPARE(outcome.calls(), 1);
        QCOMPARE(outcome.failures, 1);
        QVERIFY(outcome.failure.startsWith(QStringLiteral("JSON解析失败：")));
        QTest::qWait(100);
        QCOMPARE(server->received.size(), 1);
    }

    void bodyCutShortFails()
    {
        // The connection closes before the promised body is complete.
        server->responder = [](QTcpSocket *s, const ReceivedRequest &) {
            s->write("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n{\"flag\": true}");
            s->disconnectFromHost();
        };
        Outcome outcome;
        outcome.get(HttpRequest(server->url(QStringLiteral("user"))));
        QTRY_COMPARE(outcome.calls(), 1);
        QCOMPARE(outcome.failures, 1);
        QTest::qWait(100);
        QCOMPARE(outcome.calls(), 1);
    }

    void silentServerTimesOutOnce()
    {
        (*environment)->transferTimeoutMs = ShortTimeoutMs;
        Outcome outcome;
        outcome.get(HttpRequest(server->url(QStringLiteral("user"))));
        QTRY_COMPARE_WITH_TIMEOUT(outcome.calls(), 1, 5000);
        QCOMPARE(outcome.failures, 1);
        QVERIFY(!outcome.failure.isEmpty());
        QVERIFY(!outcome.failure.contains(QStringLiteral("tok-secret")));
        QCOMPARE(server->received.size(), 1);
        QTest::qWait(ShortTimeoutMs * 2);
        QCOMPARE(outcome.calls(), 1);
    }

    void callbacksMayBeOmitted()
    {
        server->responder = [](QTcpSocket *s, const ReceivedRequest &) {
            FakeHttpServer::reply(s, "200 OK", "not json");
        };
        HttpRequest(server->url(QStringLiteral("a"))).get(nullptr, nullptr);
        HttpRequest(server->url(QStringLiteral("b")))
            .addHeader(QStringLiteral("content-type"), QStringLiteral("text/plain"))
            .post(nullptr, nullptr);
        QTRY_COMPARE(server->received.size(), 2);
        QTest::qWait(50); // both replies are handled without a callback to call
    }

    // Bound to a context, as a window binds its requests: the answer or the failure reaches a
    // context that lives, through lambdas or member functions, and nothing reaches one that has
    // been destroyed after sending, whatever the form of request.
    void boundCallbacksEndWithTheirContext()
    {
        answerJson(R"({"flag": true})");
        QTcpServer probe;
        QVERIFY(probe.listen(SilentAddress, 0));
        const QString refused = QStringLiteral("http://127.0.0.81:%1/user").arg(probe.serverPort());
        probe.close();

        Outcome keptAnswer, keptFailure, dropped;
        Receiver kept(&keptAnswer);
        QObject keeper;
        auto gone = std::make_unique<Receiver>(&dropped);
        int droppedCalls = 0;
        HttpRequest(server->url(QStringLiteral("a")))
            .get(&kept, &Receiver::answered, &Receiver::failed);
        HttpRequest(refused).post(&keeper, keptFailure.onSuccess(), keptFailure.onFailure());
        HttpRequest(server->url(QStringLiteral("b")))
            .post(gone.get(), &Receiver::answered, &Receiver::failed);
        HttpRequest(server->url(QStringLiteral("c")))
            .get(gone.get(), dropped.onSuccess(), dropped.onFailure());
        HttpRequest(refused).get(gone.get(), dropped.onSuccess(), dropped.onFailure());
        HttpRequest(server->url(QStringLiteral("d")))
            .fetch(
                gone.get(), [&droppedCalls](const QByteArray &) { ++droppedCalls; },
                [&droppedCalls] { ++droppedCalls; }, dropped.onFailure());
        gone.reset();

        QTRY_COMPARE(keptAnswer.successes, 1);
        QVERIFY(keptAnswer.flag);
        QTRY_COMPARE(keptFailure.failures, 1);
        QTRY_COMPARE(server->received.size(), 4);
        QTest::qWait(100); // the answers to the destroyed context have come and been dropped
        QCOMPARE(dropped.calls(), 0);
        QCOMPARE(droppedCalls, 0);
    }

    // ---- Several in flight ----

    void answersArriveInTheirOwnOrder()
    {
        // Hold every request, then answer them in reverse order of sending.
        QList<QPointer<QTcpSocket>> held;
        QList<QByteArray> targets;
        server->responder = [&](QTcpSocket *s, const ReceivedRequest &r) {
            held.append(s);
            targets.append(r.target);
        };
        constexpr int Count = 4;
        QStringList order;
        int failures = 0;
        int answers[Count] = {};
        for (int i = 0; i < Count; ++i) {
            HttpRequest(server->url(QStringLiteral("n%1").arg(i)))
                .get(
                    [&, i](bool flag, const QVariantMap &) {
                        QVERIFY(flag);
                        order.append(QString::number(i));
                        ++answers[i];
                    },
                    [&](const QString &) { ++failures; });
        }
        QTRY_COMPARE(held.size(), Count);
        for (int k = Count - 1; k >= 0; --k) {
            // Answer the socket that asked for n<k> and wait for its callback before the next.
            int index = -1;
            for (int j = 0; j < targets.size(); ++j) {
                if (targets.at(j).startsWith("/n" + QByteArray::number(k) + "?"))
                    index = j;
            }
            QVERIFY(index >= 0);
            QVERIFY(held.at(index));
            FakeHttpServer::replyJson(held.at(index), R"({"flag": true})");
            QTRY_COMPARE(order.size(), Count - k);
        }
        QCOMPARE(order, QStringList({"3", "2", "1", "0"}));
        QTest::qWait(50);
        QCOMPARE(failures, 0);
        for (int i = 0; i < Count; ++i)
            QCOMPARE(answers[i], 1);
    }

    // ---- Streaming ----

    void fetchDeliversEveryChunkInOrder()
    {
        // The body trickles in slower than the time-out in total, but never stalls that long.
        // (A generous time-out: a busy machine must not turn a pause into a stall.)
        constexpr int TrickleTimeoutMs = 1000;
        constexpr int Chunks = 8;
        (*environment)->transferTimeoutMs = TrickleTimeoutMs;
        QByteArray expected;
        for (int i = 0; i < Chunks; ++i)
            expected += QByteArray(1000, char('a' + i));
        server->responder = [expected](QTcpSocket *s, const ReceivedRequest &) {
            s->write("HTTP/1.1 200 OK\r\nContent-Type: image/png\r\nContent-Length: " +
                     QByteArray::number(expected.size()) + "\r\nConnection: close\r\n\r\n");
            s->flush();
            auto *timer = new QTimer(s);
            timer->setInterval(TrickleTimeoutMs * 3 / 2 / Chunks);
            QObject::connect(timer, &QTimer::timeout, s, [s, timer, expected]() {
                int sent = s->property("sent").toInt();
                s->write(expected.mid(sent, 1000));
                sent += 1000;
                s->setProperty("sent", sent);
                if (sent >= expected.size()) {
                    timer->stop();
                    s->disconnectFromHost();
                }
            });
            timer->start();
        };
        QByteArray body;
        int chunks = 0;
        int finished = 0;
        int failures = 0;
        HttpRequest(server->url(QStringLiteral("order/createQrCode?url=x")))
            .fetch(
                [&](const QByteArray &chunk) {
                    QVERIFY(!chunk.isEmpty());
                    QCOMPARE(finished, 0);
                    body += chunk;
                    ++chunks;
                },
                [&]() { ++finished; }, [&](const QString &) { ++failures; });
        QTRY_COMPARE_WITH_TIMEOUT(finished + failures, 1, 10000);
        QCOMPARE(failures, 0);
        QCOMPARE(finished, 1);
        QCOMPARE(body, expected);
        QVERIFY(chunks >= 2);
        QTest::qWait(50);
        QCOMPARE(finished + failures, 1);
    }

    void fetchOfAStalledBodyTimesOut()
    {
        (*environment)->transferTimeoutMs = ShortTimeoutMs;
        server->responder = [](QTcpSocket *s, const ReceivedRequest &) {
            s->write("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\npart");
        };
        QByteArray body;
        int finished = 0;
        int failures = 0;
        HttpRequest(server->url(QStringLiteral("img")))
            .fetch([&](const QByteArray &chunk) { body += chunk; }, [&]() { ++finished; },
                   [&](const QString &) { ++failures; });
        QTRY_COMPARE_WITH_TIMEOUT(failures, 1, 5000);
        QCOMPARE(finished, 0);
        QTest::qWait(ShortTimeoutMs);
        QCOMPARE(finished + failures, 1);
    }

    void fetchOfAnErrorPageFails()
    {
        server->responder = [](QTcpSocket *s, const ReceivedRequest &) {
            FakeHttpServer::reply(s, "404 Not Found", "no such image");
        };
        QByteArray body;
        int finished = 0;
        QStringList failures;
        HttpRequest(server->url(QStringLiteral("img")))
            .fetch([&](const QByteArray &chunk) { body += chunk; }, [&]() { ++finished; },
                   [&](const QString &message) { failures << message; });
        QTRY_COMPARE(failures.size(), 1);
        QCOMPARE(finished, 0);
        QVERIFY(body.isEmpty());
        QVERIFY(!failures.first().contains(QStringLiteral("tok-secret")));
    }
};

QTEST_GUILESS_MAIN(TstHttpRequest)
#include "tst_httprequest.moc"
