#include "net/api.h"

#include <QJsonDocument>
#include <QtTest>

// What the windows write to the log about service answers.
class TstApiLog : public QObject
{
    Q_OBJECT

private slots:
    void secretsAreMaskedAtEveryDepth()
    {
        const QVariantMap answer =
            QJsonDocument::fromJson(R"({"flag": true, "msg": "ok", "token": "t0",
                "data": {"id": 7, "name": "a", "token": "account-secret",
                         "list": [{"domain": "d", "token": "tunnel-secret", "tunnelToken": "x",
                                   "pwd": "p", "password": "q", "tokenCount": 3}]}})")
                .object()
                .toVariantMap();
        const QVariantMap logged = api::forLog(answer);
        const QByteArray text = QJsonDocument::fromVariant(logged).toJson(QJsonDocument::Compact);
        for (const char *secret :
             {"t0", "account-secret", "tunnel-secret", "\"x\"", "\"p\"", "\"q\""})
            QVERIFY2(!text.contains(secret), secret);
        const QVariantMap inner = logged.value("data").toMap();
        QCOMPARE(inner.value("token").toString(), QStringLiteral("***"));
        QCOMPARE(inner.value("id").toInt(), 7);
        const QVariantMap tunnel = inner.value("list").toList().value(0).toMap();
        QCOMPARE(tunnel.value("domain").toString(), QStringLiteral("d"));
        QCOMPARE(tunnel.value("tokenCount").toInt(), 3); // only exact names are secrets
        QCOMPARE(logged.value("msg").toString(), QStringLiteral("ok"));
    }

    void emptySecretsStayEmpty()
    {
        // An empty token says something useful (not signed in) and gives nothing away.
        const QVariantMap logged = api::forLog(QVariantMap{{"token", QString()}});
        QCOMPARE(logged.value("token").toString(), QString());
    }
};

QTEST_GUILESS_MAIN(TstApiLog)
#include "tst_apilog.moc"
