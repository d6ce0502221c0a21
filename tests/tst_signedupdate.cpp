// Updates checked against the release signing key: only files the signed release list names,
// with its size and hash, are saved for the update program; anything else gets the "Error" box
// and nothing is started. A refused release is not forced again.
#include "homehttpdouble.h"
#include "signingkey.h"
#include "updatesurroundings.h"

#include "core/globals.h"
#include "core/updatehandover.h"
#include "net/updatecheck.h"
#include "net/updatedownload.h"
#include "net/updatesignature.h"
#include "platform/environment.h"
#include "ui/messagebox.h"
#include "ui/updateform.h"

#include <QDir>
#include <QTemporaryDir>
#include <QtTest>

class TstSignedUpdate : public UpdateSurroundings
{
    Q_OBJECT

    HomeHttpDouble server;
    SigningKey releaseKey;
    SigningKey otherKey;
    QMap<QString, QByteArray> release{{"borvane", "client 1.0.1"}, {"notes.txt", "what is new"}};

    void serve(const QString &path, const QByteArray &body, bool announceLength = true)
    {
        HomeHttpDouble::Answer a;
        a.body = body;
        a.announceLength = announceLength;
        server.setAnswer(path, a);
    }
    void serveRelease(const QByteArray &manifest, const QByteArray &client)
    {
        serve("/rel/manifest.json", manifest);
        serve("/rel/borvane", client);
        serve("/rel/notes.txt", release["notes.txt"]);
    }
    QString urls(const QStringList &names) const
    {
        QStringList list;
        for (const QString &name : names)
            list << server.baseUrl() + "rel/" + name;
        return list.join(UpDateForm::separator());
    }
    void expectNothingStaged()
    {
        QVERIFY(started.isEmpty());
        QVERIFY(quits.isEmpty());
        QVERIFY(QDir(dir->path()).entryList(QDir::Files).isEmpty());
    }

private slots:
    void initTestCase()
    {
        QVERIFY(sodium_init() >= 0);
        QVERIFY(server.start("127.0.0.62"));
        apiBaseUrl = server.baseUrl();
    }
    void init()
    {
        enter();
        server.paths.clear();
        (*environment)->updatePublicKey = releaseKey.publicHex();
    }
    void cleanup() { leave(); }

    void signatureAndContent()
    {
        const QByteArray good = releaseKey.sign("1.0.1", release);
        const auto manifest =
            updatesignature::verify(good, QByteArray::fromHex(releaseKey.publicHex()), nullptr);
        QVERIFY(manifest);
        QCOMPARE(manifest->version, QStringLiteral("1.0.1"));
        QCOMPARE(manifest->files.size(), 2);
        QVERIFY(!updatesignature::verify(good, QByteArray::fromHex(otherKey.publicHex()), nullptr));
        // One changed size in the signed text breaks the signature.
        QByteArray altered = good;
        altered.replace("\\\"size\\\": 12", "\\\"size\\\": 13");
        QVERIFY(altered != good);
        QString error;
        QVERIFY(
            !updatesignature::verify(altered, QByteArray::fromHex(releaseKey.publicHex()), &error));
        QVERIFY(!error.isEmpty());
    }

    void downloadsAreHeldToTheSignedList_data()
    {
        QTest::addColumn<QByteArray>("manifest");
        QTest::addColumn<QByteArray>("servedClient");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("signed") << releaseKey.sign("1.0.1", release) << release["borvane"] << true;
        QTest::newRow("tampered file")
            << releaseKey.sign("1.0.1", release) << QByteArray("client 1.0.X") << false;
        QTest::newRow("longer file")
            << releaseKey.sign("1.0.1", release) << release["borvane"] + "!" << false;
        QTest::newRow("wrong signature")
            << otherKey.sign("1.0.1", release) << release["borvane"] << false;
        QTest::newRow("older release replayed")
            << releaseKey.sign("1.0.0", release) << release["borvane"] << false;
    }

    void downloadsAreHeldToTheSignedList()
    {
        QFETCH(QByteArray, manifest);
        QFETCH(QByteArray, servedClient);
        QFETCH(bool, accepted);
        serveRelease(manifest, servedClient);

        UpDateForm form;
        form.setData("1.0.1", "fixes", "2020.5.29", urls({"borvane", "notes.txt"}));
        form.startUpdate();
        if (accepted) {
            QTRY_COMPARE(quits, QList<int>{0});
            QCOMPARE(started.size(), 1);
            QVERIFY(boxes.isEmpty());
            QCOMPARE(QDir(dir->path()).entryList(QDir::Files),
                     (QStringList{"borvane", "manifest.json", "notes.txt"}));
            QCOMPARE(qgetenv(updatehandover::ClientPidVariable),
                     QByteArray::number(QCoreApplication::applicationPid()));
        } else {
            QTRY_COMPARE(boxes.size(), 1);
            QCOMPARE(boxes.first().title, QStringLiteral("Error"));
            QVERIFY2(boxes.first().text.startsWith("Unable to save the file "),
                     qPrintable(boxes.first().text));
            QVERIFY(started.isEmpty());
            QVERIFY(quits.isEmpty());
            QVERIFY(!QFile::exists(dir->filePath("borvane")));
            QVERIFY(!QFile::exists(dir->filePath("manifest.json")));
        }
    }

    // A list that is not the signed release is refused before any file is fetched: a file
    // left out would never install, and tsy_up and the client would restart each other.
    void incompleteListIsRefusedBeforeDownload_data()
    {
        QTest::addColumn<QStringList>("offered");
        QTest::newRow("file left out") << QStringList{"borvane"};
        QTest::newRow("file not signed") << QStringList{"borvane", "notes.txt", "extra.bin"};
    }
    void incompleteListIsRefusedBeforeDownload()
    {
        QFETCH(QStringList, offered);
        serveRelease(releaseKey.sign("1.0.1", release), release["borvane"]);
        UpDateForm form;
        form.setData("1.0.1", "fixes", "n", urls(offered));
        form.startUpdate();
        QTRY_COMPARE(boxes.size(), 1);
        QVERIFY2(boxes.first().text.startsWith("Unable to save the file "),
                 qPrintable(boxes.first().text));
        QCOMPARE(server.paths, QStringList{"/rel/manifest.json"});
        expectNothingStaged();
    }

    void longerDownloadIsCutAtTheListedSize()
    {
        // No length announced: the body only shows its size by arriving.
        serveRelease(releaseKey.sign("1.0.1", release), {});
        serve("/rel/borvane", QByteArray(8 * 1024 * 1024, 'x'), false);
        UpDateForm form;
        form.setData("1.0.1", "fixes", "n", urls({"borvane", "notes.txt"}));
        form.startUpdate();
        QTRY_COMPARE(boxes.size(), 1);
        QVERIFY(form.download->receivedBytes <= release["borvane"].size());
        expectNothingStaged();
    }

    // A forced release refused once (by this client's checks, or by tsy_up before the restart)
    // is told once and not fetched, handed over or forced again.
    void refusedReleaseIsNotForcedAgain_data()
    {
        QTest::addColumn<bool>("refusedByUpdater");
        QTest::newRow("unsigned list") << false;
        QTest::newRow("refused by tsy_up") << true;
    }
    void refusedReleaseIsNotForcedAgain()
    {
        QFETCH(bool, refusedByUpdater);
        serveRelease(otherKey.sign("1.0.1", release), release["borvane"]);
        if (refusedByUpdater)
            UpdateDownload::refuse("1.0.1", "borvane is missing or incomplete", false);
        const QString offered = urls({"borvane", "notes.txt"});
        for (int attempt = 0; attempt < 2; ++attempt) {
            UpDateForm form;
            form.setData("1.0.1", "fixes", "n", offered);
            form.startUpdate();
            QTRY_COMPARE(boxes.size(), 1);
            QTRY_VERIFY(!form.download->isRunning());
        }
        QVERIFY2(boxes.first().text.contains(refusedByUpdater ? "missing or incomplete"
                                                              : "not signed by our key"),
                 qPrintable(boxes.first().text));
        QCOMPARE(server.count("/rel/manifest.json"), refusedByUpdater ? 0 : 1);
        QCOMPARE(server.count("/rel/borvane"), 0);
        expectNothingStaged();

        // The next check still offers it, for the user's own press only.
        server.setJson(
            "/app_update/1",
            {{"flag", true},
             {"data", QVariantMap{{"version", "1.0.1"}, {"urls", offered}, {"mustUpdate", 1}}}});
        UpdateCheck check;
        QSignalSpy offers(&check, &UpdateCheck::offered);
        check.check(UpdateCheck::Trigger::Automatic);
        QTRY_COMPARE(offers.size(), 1);
        QVERIFY(!offers.first().first().value<UpdateOffer>().mandatory);
    }
};

QTEST_MAIN(TstSignedUpdate)
#include "tst_signedupdate.moc"
