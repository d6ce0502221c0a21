// The update check on its own, against a fake service on 127.0.0.63: what it offers for each
// answer and each kind of check, and the hours of the scheduled checks.

#include "homehttpdouble.h"

#include "core/globals.h"
#include "net/updatecheck.h"
#include "platform/environment.h"

#include <QtTest>

using Trigger = UpdateCheck::Trigger;

class TstUpdateCheck : public QObject
{
    Q_OBJECT

    HomeHttpDouble server;
    Environment::Scope environment;

    // The outcome of each check, one line each: what was emitted, its text and its trigger.
    QStringList outcomes;
    UpdateOffer lastOffer;

    static QString name(Trigger trigger)
    {
        return trigger == Trigger::Manual ? QStringLiteral("manual") : QStringLiteral("auto");
    }
    void watch(UpdateCheck &check)
    {
        connect(&check, &UpdateCheck::upToDate, this,
                [this](Trigger t) { outcomes << "latest " + name(t); });
        connect(&check, &UpdateCheck::offered, this, [this](const UpdateOffer &offer, Trigger t) {
            lastOffer = offer;
            outcomes << "offer " + offer.version + " " + name(t);
        });
        connect(&check, &UpdateCheck::refused, this, [this](const QString &msg, Trigger t) {
            outcomes << "refused " + msg + " " + name(t);
        });
        connect(&check, &UpdateCheck::failed, this,
                [this](const QString &, Trigger t) { outcomes << "failed " + name(t); });
    }
    void setUpdate(const QString &version, int mustUpdate)
    {
        server.setJson("/app_update/1", {{"flag", true},
                                         {"msg", "ok"},
                                         {"data", QVariantMap{{"version", version},
                                                              {"updateDesc", "better"},
                                                              {"urls", "a|||b"},
                                                              {"mustUpdate", mustUpdate}}}});
    }

private slots:
    void initTestCase()
    {
        QVERIFY(server.start("127.0.0.63"));
        apiBaseUrl = server.baseUrl();
        // The answers below are written against this version.
        QCOMPARE(clientVersion, QStringLiteral("1.0.0"));
    }
    void init()
    {
        outcomes.clear();
        lastOffer = UpdateOffer();
        server.paths.clear();
    }

    void answers_data()
    {
        QTest::addColumn<QString>("answer");
        QTest::addColumn<bool>("manual");
        QTest::addColumn<QString>("outcome");
        QTest::newRow("newer, by the timer") << "1.0.1" << false << "offer 1.0.1 auto";
        QTest::newRow("newer, asked for") << "1.0.1" << true << "offer 1.0.1 manual";
        QTest::newRow("same") << "1.0.0" << false << "latest auto";
        QTest::newRow("older, asked for") << "0.9" << true << "latest manual";
        QTest::newRow("refused") << "refuse" << true << "refused 稍后再试 manual";
        QTest::newRow("unreachable") << "500" << false << "failed auto";
    }
    void answers()
    {
        QFETCH(QString, answer);
        QFETCH(bool, manual);
        QFETCH(QString, outcome);
        if (answer == QLatin1String("refuse"))
            server.setJson("/app_update/1", {{"flag", false}, {"msg", "稍后再试"}});
        else if (answer == QLatin1String("500"))
            server.setStatus("/app_update/1", 500);
        else
            setUpdate(answer, 0);
        UpdateCheck check;
        watch(check);
        check.check(manual ? Trigger::Manual : Trigger::Automatic);
        QTRY_COMPARE(outcomes.size(), 1);
        QCOMPARE(outcomes.first(), outcome);
        QCOMPARE(server.count("/app_update/1"), 1);
    }

    void offerCarriesTheServiceText()
    {
        setUpdate("2.0", 1);
        UpdateCheck check;
        watch(check);
        check.check(Trigger::Automatic);
        QTRY_COMPARE(outcomes.size(), 1);
        QCOMPARE(lastOffer.version, QStringLiteral("2.0"));
        QCOMPARE(lastOffer.description, QStringLiteral("better"));
        QCOMPARE(lastOffer.urls, QStringLiteral("a|||b"));
        QVERIFY(lastOffer.mandatory);
    }

    void scheduleKeepsToTheHours()
    {
        setUpdate("1.0.0", 0);
        UpdateCheck check;
        watch(check);
        environment->clock = [] { return QDateTime(QDate(2024, 3, 1), QTime(9, 59)); };
        check.checkOnSchedule();
        environment->clock = [] { return QDateTime(QDate(2024, 3, 1), QTime(17, 59)); };
        check.checkOnSchedule();
        // A manual check is the barrier: a request of the first tick would have been answered
        // by the time the later ones are.
        QTRY_COMPARE(outcomes.size(), 1);
        check.check(Trigger::Manual);
        QTRY_COMPARE(outcomes.size(), 2);
        QCOMPARE(outcomes, (QStringList{"latest auto", "latest manual"}));
        QCOMPARE(server.count("/app_update/1"), 2);
    }
};

QTEST_MAIN(TstUpdateCheck)
#include "tst_updatecheck.moc"
