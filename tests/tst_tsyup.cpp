// The update program, run for real in a temporary program folder with a stand-in client: it
// installs what the updater staged, and whatever goes wrong the installed client comes back.
#include "core/updatemanifest.h"
#include "platform/platform.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
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
        QJsonArray list;
        for (const auto &file : files)
            list.append(QJsonObject{
                {"name", file.first},
                {"size", double(file.second.size())},
                {"sha256",
                 QString::fromLatin1(
                     QCryptographicHash::hash(file.second, QCryptographicHash::Sha256).toHex())}});
        const QByteArray body =
            QJsonDocument(QJsonObject{{"version", "1.0.1"}, {"files", list}}).toJson();
        QVERIFY(write(
            staged(UpdateManifest::fileName()),
            QJsonDocument(QJsonObject{{"manifest", QString::fromUtf8(body)}, {"signature", ""}})
                .toJson()));
    }

    // Runs the update program and waits for the client it starts; restarted tells which it was.
    void runUpdater(QByteArray &restarted, qint64 clientPid = 0, int waitMs = 0)
    {
        QProcess updater;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        if (clientPid) {
            env.insert("BORVANE_CLIENT_PID", QString::number(clientPid));
            env.insert("BORVANE_UPDATER_WAIT_MS", QString::number(waitMs));
        }
        updater.setProcessEnvironment(env);
        updater.start(path(Updater), QStringList());
        QVERIFY(updater.waitForFinished(20000));
        QCOMPARE(updater.exitCode(), 0);
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
        runUpdater(restarted, client.processId(), 5000);
        QCOMPARE(restarted, size(newClient()));
        QCOMPARE(readAll(path(Client)), newClient());
        QVERIFY(QFileInfo(path(Client)).isExecutable());
        QCOMPARE(readAll(path("notes.txt")), QByteArray("new notes"));
        QVERIFY(!QFile::exists(path(Client + ".old")));
        QVERIFY(!QFile::exists(path("update")));
        QVERIFY2(log().contains("installed " + Client + ", notes.txt; restarted " + Client),
                 qPrintable(log()));
        QTRY_COMPARE(client.state(), QProcess::NotRunning);
    }

    void clientStillRunningKeepsTheOldVersion()
    {
        QProcess client;
        client.start(path(Client), {"--stay-ms", "60000"});
        QVERIFY(client.waitForStarted());
        QVERIFY(write(staged(Client), newClient()));

        QByteArray restarted;
        runUpdater(restarted, client.processId(), 300);
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
    }
};

QTEST_GUILESS_MAIN(TstTsyUp)
#include "tst_tsyup.moc"
