#include "tunnel/tunnelrecord.h"

#include <QJsonDocument>
#include <QtTest>

class TstTunnelRecord : public QObject
{
    Q_OBJECT

private:
    static QVariantMap entry(const char *json)
    {
        return QJsonDocument::fromJson(json).object().toVariantMap();
    }

private slots:
    void integersFromNumbersAndStrings_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<int>("clientPort");
        QTest::newRow("number") << QByteArray(R"({"clientPort": 8080})") << 8080;
        QTest::newRow("numeric string") << QByteArray(R"({"clientPort": "8080"})") << 8080;
        QTest::newRow("not a number") << QByteArray(R"({"clientPort": "80a"})") << 0;
        QTest::newRow("missing") << QByteArray(R"({})") << 0;
        QTest::newRow("object") << QByteArray(R"({"clientPort": {"a": 1}})") << 0;
    }
    void integersFromNumbersAndStrings()
    {
        QFETCH(QByteArray, json);
        QFETCH(int, clientPort);
        QCOMPARE(TunnelRecord::fromListEntry(entry(json)).clientPort, clientPort);
    }

    void textsAndExpiry()
    {
        const TunnelRecord r = TunnelRecord::fromListEntry(entry(
            R"({"id": 12, "name": "nas", "stopTime": "2024-01-01", "serverIp": "127.0.0.1",
                "token": "t", "bdw": "4", "type": 1, "serverPort": 20001, "clientIp": "localhost"})"));
        QCOMPARE(r.id, QStringLiteral("12"));
        QCOMPARE(r.name, QStringLiteral("nas"));
        QCOMPARE(r.stopTime, QStringLiteral("2024-01-01 到期"));
        QCOMPARE(r.domain, QString()); // no domain: empty, still a record
        QCOMPARE(r.bdw, 4);
        QCOMPARE(r.type, 1);
        QCOMPARE(r.serverPort, 20001);
        QCOMPARE(r.clientIp, QStringLiteral("localhost"));
        QVERIFY(r.isConfigured());
    }
};

QTEST_GUILESS_MAIN(TstTunnelRecord)
#include "tst_tunnelrecord.moc"
