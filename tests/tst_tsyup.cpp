// The update program in a temporary program folder with a stand-in client, run for real and its
// steps in-process: it installs exactly what the release list names, and whatever goes wrong
// the installed client comes back.
#include "signingkey.h"

#include "core/updatehandover.h"
#include "core/updatemanifest.h"
#include "platform/platform.h"
#include "updater/installer.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

class TstTsyUp : public QObject
{
    Q_OBJECT

    // The programs' own names on this system ("borvane", "tsy_up"; ".exe" ones on Windows).
    const QString Client = platform::clientExecutableName();
    const QString Updater = platform::updaterExecutableName();
    std::unique_ptr<QTemporaryDir> dir;
    QByteArray oldClient;

    QString path(const QString &name) const { return dir->filePath(name); }
    QString staged(const QString &name) const { return dir->filePath("update/" + name); }

    static QByteArray readAll(const QString &file)
    {
        QFile f(file);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
    static bool write(const QString &file, const QByteArray &data)
    {
        QFile f(file);
        return f.open(QIODevice::WriteOnly) && f.write(data) == data.size();
    }
    // The next version of the client: the same program, a little longer.
    QByteArray newClient() const { return oldClient + QByteArray(64, '\0'); }

    void writeManifest(const QList<QPair<QString, QByteArray>> &files)
    {
        QMap<QString, QByteArray> byName;
        for (const auto &file : files)
            byName.insert(file.first, file.second);
        QVERIFY(write(staged(UpdateManifest::fileName()),
                      releaseDocument(releaseBody("1.0.1", byName))));
    }

    // Runs the update program and waits for the client it starts; restarted tells which it was.
    void runUpdater(QByteArray &restarted, qint64 clientPid = 0)
    {
        QProcess updater;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        if (clientPid)
            env.insert(updatehandover::ClientPidVariable, QString::number(clientPid));
        updater.setProcessEnvironment(env);
        updater.start(path(Updater), QStringList());
        QVERIFY(updater.waitForFinished(20000));
        QCOMPARE(updater.exitCode(), 0);
        waitForRestart(restarted);
    }
    void waitForRestart(QByteArray &restarted)
    {
        QTRY_VERIFY_WITH_TIMEOUT(readAll(path("started.txt")).endsWith('\n'), 10000);
        restarted = readAll(path("started.txt")).trimmed();
    }

    QByteArray size(const QByteArray &program) const { return QByteArray::number(program.size()); }
    QString log() const { return QString::fromUtf8(readAll(path("tsy_up.log"))); }

private slots:
    void init()
    {
        dir = std::make_unique<QTemporaryDir>();
        QVERIFY(dir->isValid());
        QVERIFY(QFile::copy(TSY_UP_BIN, path(Updater)));
        QVERIFY(QFile::copy(FAKE_CLIENT_BIN, path(Client)));
        oldClient = readAll(path(Client));
        QVERIFY(QDir(dir->path()).mkdir("update"));
    }

    void installsOnceTheClientHasEnded()
    {
        QProcess client;
        client.start(path(Client), {"--stay-ms", "300"});
        QVERIFY(client.waitForStarted());
        QVERIFY(write(staged(Client), newClient()));
        QVERIFY(write(staged("notes.txt"), "new notes"));
        writeManifest({{Client, newClient()}, {"notes.txt", "new notes"}});

        QByteArray restarted;
        runUpdater(restarted, client.processId());
        QCOMPARE(restarted, size(newClient()));
        QCOMPARE(readAll(path(Client)), newClient());
        QVERIFY(QFileInfo(path(Client)).isExecutable());
        QCOMPARE(readAll(path("notes.txt")), QByteArray("new notes"));
        QVERIFY(!QFile::exists(path(Client + ".old")));
        QVERIFY(!QFile::exists(path("update")));
        QVERIFY2(log().contains("installed " + Client + ", notes.txt; restarted " + Client),
                 qPrintable(log()));
        QVERIFY(!updatehandover::lastRefusal(dir->path()));
        QTRY_COMPARE(client.state(), QProcess::NotRunning);
    }

    void clientStillRunningKeepsTheOldVersion()
    {
        QProcess client;
        client.start(path(Client), {"--stay-ms", "60000"});
        QVERIFY(client.waitForStarted());
        QVERIFY(write(staged(Client), newClient()));
        writeManifest({{Client, newClient()}});

        bool started = false;
        tsyup::run(dir->path(), client.processId(), 300, {}, &started);
        QVERIFY(started);
        QByteArray restarted;
        waitForRestart(restarted);
        QCOMPARE(restarted, size(oldClient));
        QCOMPARE(readAll(path(Client)), oldClient);
        QVERIFY2(log().contains("still runs after 300 ms"), qPrintable(log()));
        client.kill();
        QVERIFY(client.waitForFinished(5000));
    }

    void failedReplacementRollsBack()
    {
        QVERIFY(write(path("data.bin"), "old data"));
        // A folder where the old file would be set aside: the second move fails.
        QVERIFY(QDir(dir->path()).mkpath("data.bin.old/keep"));
        QVERIFY(write(staged(Client), newClient()));
        QVERIFY(write(staged("data.bin"), "new data"));
        writeManifest({{Client, newClient()}, {"data.bin", "new data"}});

        QByteArray restarted;
        runUpdater(restarted);
        QCOMPARE(restarted, size(oldClient));
        QCOMPARE(readAll(path(Client)), oldClient);
        QVERIFY(QFileInfo(path(Client)).isExecutable());
        QCOMPARE(readAll(path("data.bin")), QByteArray("old data"));
        QVERIFY2(log().contains("cannot move data.bin aside"), qPrintable(log()));
    }

    void missingDownloadInstallsNothing()
    {
        QVERIFY(write(staged(Client), newClient()));
        writeManifest({{Client, newClient()}, {"lib.so", "never arrived"}});

        QByteArray restarted;
        runUpdater(restarted);
        QCOMPARE(restarted, size(oldClient));
        QCOMPARE(readAll(path(Client)), oldClient);
        QVERIFY(!QFile::exists(path("lib.so")));
        QVERIFY2(log().contains("lib.so is missing or incomplete"), qPrintable(log()));
        // What the restarted client reads so as not to force the same release again.
        const auto refusal = updatehandover::lastRefusal(dir->path());
        QVERIFY(refusal);
        QCOMPARE(refusal->version, QStringLiteral("1.0.1"));
        QCOMPARE(refusal->reason, QStringLiteral("lib.so is missing or incomplete"));
    }

    // Only a plain file the release list names, over a plain file, is ever put in place.
    void installsNothingUnlisted_data()
    {
        QTest::addColumn<QString>("setup");
        QTest::addColumn<QString>("error");
        QTest::newRow("no release list") << "no list"
                                         << "no release list";
        QTest::newRow("planted file") << "planted"
                                      << "";
        QTest::newRow("staged link") << "staged link" << Client + " is a link";
        QTest::newRow("target link") << "target link"
                                     << "notes.txt is a link";
#ifdef BORVANE_HAS_SODIUM
        QTest::newRow("unsigned list, key built in") << "unsigned"
                                                     << "not signed by our key";
#endif
    }
    void installsNothingUnlisted()
    {
        QFETCH(QString, setup);
        QFETCH(QString, error);
#ifdef Q_OS_WIN
        if (setup.endsWith("link"))
            QSKIP("QFile::link makes a .lnk shortcut on Windows, not a link under the name");
#endif
        QTemporaryDir elsewhere;
        const QString outside = elsewhere.filePath("outside.txt");
        QVERIFY(write(outside, "not ours"));
        QVERIFY(write(staged("notes.txt"), "new notes"));
        if (setup == "staged link")
            QVERIFY(QFile::link(outside, staged(Client)));
        else
            QVERIFY(write(staged(Client), newClient()));
        if (setup == "target link")
            QVERIFY(QFile::link(outside, path("notes.txt")));
        if (setup == "planted")
            QVERIFY(write(staged(".profile"), "planted"));
        if (setup != "no list")
            writeManifest({{Client, newClient()}, {"notes.txt", "new notes"}});
        QByteArray key;
#ifdef BORVANE_HAS_SODIUM
        if (setup == "unsigned")
            key = QByteArray::fromHex(SigningKey().publicHex());
#endif

        const tsyup::Result result = tsyup::install(dir->path(), key);
        QCOMPARE(result.installed, error.isEmpty());
        QVERIFY2(result.error.contains(error), qPrintable(result.error));
        QVERIFY(!QFile::exists(path(".profile")));
        QCOMPARE(readAll(outside), QByteArray("not ours"));
        QCOMPARE(readAll(path(Client)), error.isEmpty() ? newClient() : oldClient);
    }
};

QTEST_GUILESS_MAIN(TstTsyUp)
#include "tst_tsyup.moc"
