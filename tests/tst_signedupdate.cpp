// Updates checked against the release signing key: only files the signed release list names,
// with its size and hash, are saved for the update program; anything else gets the "Error" box
// and nothing is started.
#include "homehttpdouble.h"

#include "net/updatesignature.h"
#include "platform/environment.h"
#include "ui/messagebox.h"
#include "ui/updateform.h"

#include <QCryptographicHash>
#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QtTest>

#include <sodium.h>

struct SigningKey
{
    unsigned char pk[crypto_sign_PUBLICKEYBYTES];
    unsigned char sk[crypto_sign_SECRETKEYBYTES];
    SigningKey() { crypto_sign_keypair(pk, sk); }
    QByteArray publicHex() const
    {
        return QByteArray(reinterpret_cast<const char *>(pk), sizeof pk).toHex();
    }
    // The document the service publishes as manifest.json.
    QByteArray sign(const QString &version, const QMap<QString, QByteArray> &files) const
    {
        QJsonArray list;
        for (auto it = files.cbegin(); it != files.cend(); ++it)
            list.append(QJsonObject{
                {"name", it.key()},
                {"size", double(it.value().size())},
                {"sha256",
                 QString::fromLatin1(
                     QCryptographicHash::hash(it.value(), QCryptographicHash::Sha256).toHex())}});
        const QByteArray body =
            QJsonDocument(QJsonObject{{"version", version}, {"files", list}}).toJson();
        unsigned char signature[crypto_sign_BYTES];
        crypto_sign_detached(signature, nullptr,
                             reinterpret_cast<const unsigned char *>(body.data()), body.size(), sk);
        return QJsonDocument(
                   QJsonObject{{"manifest", QString::fromUtf8(body)},
                               {"signature",
                                QString::fromLatin1(QByteArray(reinterpret_cast<char *>(signature),
                                                               sizeof signature)
                                                        .toBase64())}})
            .toJson();
    }
};

class TstSignedUpdate : public QObject
{
    Q_OBJECT

    HomeHttpDouble server;
    SigningKey releaseKey;
    SigningKey otherKey;
    QMap<QString, QByteArray> release{{"borvane", "client 1.0.1"}, {"notes.txt", "what is new"}};

    void serve(const QString &path, const QByteArray &body)
    {
        HomeHttpDouble::Answer a;
        a.body = body;
        server.setAnswer(path, a);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(sodium_init() >= 0);
        QVERIFY(server.start("127.0.0.62"));
    }

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
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        QList<int> quits;
        QStringList started;
        QList<dialogs::Box> boxes;
        Environment::Scope environment;
        environment->runProcess = [](const QString &, const QStringList &) { return 0; };
        environment->startDetached = [&](const QString &program, const QStringList &) {
            started.append(program);
            return true;
        };
        environment->quit = [&](int code) { quits.append(code); };
        environment->messageBox = [&](const dialogs::Box &box) {
            boxes.append(box);
            return 0;
        };
        environment->updateFolder = dir.path();
        environment->updatePublicKey = releaseKey.publicHex();
        serve("/rel/manifest.json", manifest);
        serve("/rel/borvane", servedClient);
        serve("/rel/notes.txt", release["notes.txt"]);

        UpDateForm form;
        form.setData("1.0.1", "fixes", "2020.5.29",
                     server.baseUrl() + "rel/borvane|||" + server.baseUrl() + "rel/notes.txt");
        form.startUpdate();
        if (accepted) {
            QTRY_COMPARE(quits, QList<int>{0});
            QCOMPARE(started.size(), 1);
            QVERIFY(boxes.isEmpty());
            QCOMPARE(QDir(dir.path()).entryList(QDir::Files),
                     (QStringList{"borvane", "manifest.json", "notes.txt"}));
            QCOMPARE(qgetenv("BORVANE_CLIENT_PID"),
                     QByteArray::number(QCoreApplication::applicationPid()));
        } else {
            QTRY_COMPARE(boxes.size(), 1);
            QCOMPARE(boxes.first().title, QStringLiteral("Error"));
            QVERIFY2(boxes.first().text.startsWith("Unable to save the file "),
                     qPrintable(boxes.first().text));
            QVERIFY(started.isEmpty());
            QVERIFY(quits.isEmpty());
            QVERIFY(!QFile::exists(dir.filePath("borvane")));
            QVERIFY(!QFile::exists(dir.filePath("manifest.json")));
        }
    }
};

QTEST_MAIN(TstSignedUpdate)
#include "tst_signedupdate.moc"
