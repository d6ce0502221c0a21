#include "homehttpdouble.h"
#include "updatesurroundings.h"

#include "net/updatedownload.h"
#include "platform/environment.h"
#include "platform/platform.h"
#include "ui/messagebox.h"
#include "ui/updateform.h"

#include <QCoreApplication>
#include <QDir>
#include <QLabel>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

// The updater: the list format, the clean-up of each start path, one download at a time into
// the target directory, redirects, failures that keep the installed file, and the hand-over.
class TstUpDateForm : public UpdateSurroundings
{
    Q_OBJECT

private:
    HomeHttpDouble server;
    // The parts of the window that only a test reads, read as its friend.
    static QStringList entries(const UpDateForm &form) { return form.urlList; }
    static int finishedCount(const UpDateForm &form) { return form.download->finishedCount(); }
    static bool downloading(const UpDateForm &form) { return form.download->isRunning(); }
    static bool countingDown(const UpDateForm &form) { return form.countdownTimer->isActive(); }

    QString fileUrl(const QString &path) const { return server.baseUrl() + path; }
    QString target(const QString &name) const { return dir->path() + QLatin1Char('/') + name; }

    static QByteArray readAll(const QString &path)
    {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
    }
    static void writeFile(const QString &path, const QByteArray &bytes)
    {
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(bytes);
    }
    static QString text(UpDateForm &form, const char *name)
    {
        if (auto *b = form.findChild<QPushButton *>(QLatin1String(name)))
            return b->text();
        if (auto *l = form.findChild<QLabel *>(QLatin1String(name)))
            return l->text();
        return QStringLiteral("<no %1>").arg(QLatin1String(name));
    }
    static QPushButton *button(UpDateForm &form, const char *name)
    {
        return form.findChild<QPushButton *>(QLatin1String(name));
    }
    void serveFile(const QString &path, const QByteArray &body)
    {
        HomeHttpDouble::Answer a;
        a.body = body;
        server.setAnswer(path, a);
    }

private slots:
    void initTestCase() { QVERIFY(server.start("127.0.0.61")); }
    void init()
    {
        enter();
        server.paths.clear();
    }
    void cleanup() { leave(); }

    void oneUrlWithoutSeparator()
    {
        serveFile("/files/app.bin", "new build");
        writeFile(target("app.bin"), "old build");
        UpDateForm form;
        form.setData("1.0.1", "fixes", "2020.5.29", fileUrl("files/app.bin"));
        QCOMPARE(text(form, "label_title"), QStringLiteral("Borvane-版本更新-1.0.1(1)"));
        QCOMPARE(text(form, "label_head"), QStringLiteral("更新内容:"));
        QCOMPARE(text(form, "label_desc"), QStringLiteral("fixes"));
        form.startUpdate();
        QVERIFY(!countingDown(form));
        QTRY_COMPARE(quits, QList<int>{0});
        QCOMPARE(readAll(target("app.bin")), QByteArray("new build"));
        QCOMPARE(killed, UpDateForm::buttonCleanupNames());
        QCOMPARE(started.size(), 1);
        QCOMPARE(started.first().first,
                 QDir::toNativeSeparators(QCoreApplication::applicationDirPath()) + "/" +
                     platform::updaterExecutableName());
        QCOMPARE(text(form, "pushButton_state"), QStringLiteral("更新完毕,重启中"));
        QCOMPARE(form.findChild<QWidget *>("widget_progress")->width(), 0);
        QCOMPARE(finishedCount(form), 1);
        // Only the finished file is left, with the list of what was fetched for the update
        // program: no temporary file beside it.
        QCOMPARE(QDir(dir->path()).entryList(QDir::Files),
                 (QStringList{"app.bin", UpdateManifest::fileName()}));
    }

    void threeUrlsWithEmptyPartsInOrder()
    {
        serveFile("/files/a.bin", "A");
        serveFile("/files/b.bin", "BB");
        serveFile("/files/c.bin", "CCC");
        UpDateForm form;
        const QString sep = UpDateForm::separator();
        form.setData("2.0.0", "d", "n",
                     sep + fileUrl("files/a.bin") + sep + sep + fileUrl("files/b.bin") + sep +
                         fileUrl("files/c.bin") + sep);
        QCOMPARE(entries(form).size(), 3);
        QCOMPARE(text(form, "label_title"), QStringLiteral("Borvane-版本更新-2.0.0(3)"));
        button(form, "pushButton")->click();
        QTRY_COMPARE(quits.size(), 1);
        QCOMPARE(server.paths, (QStringList{"/files/a.bin", "/files/b.bin", "/files/c.bin"}));
        QCOMPARE(readAll(target("a.bin")), QByteArray("A"));
        QCOMPARE(readAll(target("b.bin")), QByteArray("BB"));
        QCOMPARE(readAll(target("c.bin")), QByteArray("CCC"));
        QCOMPARE(started.size(), 1);
    }

    void emptyListDownloadsNothing()
    {
        UpDateForm form;
        form.setData("1.0.1", "d", "n", QString());
        QCOMPARE(text(form, "label_title"), QStringLiteral("Borvane-版本更新-1.0.1(0)"));
        form.startUpdate();
        QCOMPARE(text(form, "pushButton_state"), QStringLiteral("正在下载第1个文件"));
        QVERIFY(!downloading(form));
        QCOMPARE(killed, UpDateForm::buttonCleanupNames());
        QVERIFY(started.isEmpty());
        QVERIFY(quits.isEmpty());
        QVERIFY(server.paths.isEmpty());
    }

    void redirectIntoTheSameTarget()
    {
        server.setRedirect("/files/setup.bin", "/mirror/other-name.bin");
        serveFile("/mirror/other-name.bin", "from the mirror");
        UpDateForm form;
        form.setData("1.0.1", "d", "n", fileUrl("files/setup.bin"));
        form.startUpdate();
        QTRY_COMPARE(quits.size(), 1);
        QCOMPARE(server.paths, (QStringList{"/files/setup.bin", "/mirror/other-name.bin"}));
        QCOMPARE(readAll(target("setup.bin")), QByteArray("from the mirror"));
        QVERIFY(!QFile::exists(target("other-name.bin")));
    }

    void endlessRedirectsFail()
    {
        server.setRedirect("/files/loop.bin", "/files/loop.bin");
        writeFile(target("loop.bin"), "installed");
        UpDateForm form;
        form.setData("1.0.1", "d", "n", fileUrl("files/loop.bin"));
        form.startUpdate();
        QTRY_VERIFY(text(form, "label_desc").startsWith("Download failed:\n"));
        QCOMPARE(server.count("/files/loop.bin"), UpdateDownload::MaxRedirects + 1);
        QCOMPARE(readAll(target("loop.bin")), QByteArray("installed"));
        QVERIFY(quits.isEmpty());
    }

    void redirectToALocalFileFails()
    {
        QTemporaryDir elsewhere;
        QVERIFY(elsewhere.isValid());
        const QString secret = elsewhere.path() + "/secret.txt";
        writeFile(secret, "not for the program directory");
        server.setRedirect("/files/moved.bin", QUrl::fromLocalFile(secret).toString().toUtf8());
        writeFile(target("moved.bin"), "installed");
        UpDateForm form;
        form.setData("1.0.1", "d", "n", fileUrl("files/moved.bin"));
        form.startUpdate();
        QTRY_VERIFY(text(form, "label_desc").startsWith("Download failed:\n"));
        QCOMPARE(readAll(target("moved.bin")), QByteArray("installed"));
        QVERIFY(quits.isEmpty());
    }

    void httpErrorKeepsInstalledFile()
    {
        server.setStatus("/files/gone.bin", 404);
        writeFile(target("gone.bin"), "installed");
        UpDateForm form;
        form.setData("1.0.1", "d", "n", fileUrl("files/gone.bin"));
        form.startUpdate();
        QTRY_VERIFY(!downloading(form) && server.count("/files/gone.bin") == 1);
        QVERIFY2(text(form, "label_desc").startsWith("Download failed:\n"),
                 qPrintable(text(form, "label_desc")));
        QVERIFY(text(form, "label_desc").endsWith("."));
        QCOMPARE(readAll(target("gone.bin")), QByteArray("installed"));
        QCOMPARE(QDir(dir->path()).entryList(QDir::Files), QStringList{"gone.bin"});
        QCOMPARE(finishedCount(form), 0);
        QVERIFY(quits.isEmpty());
        QVERIFY(started.isEmpty());

        // Pressing again retries the same file, and this time it arrives.
        serveFile("/files/gone.bin", "fresh");
        button(form, "pushButton")->click();
        QTRY_COMPARE(quits.size(), 1);
        QCOMPARE(readAll(target("gone.bin")), QByteArray("fresh"));
    }

    void failureWhileHiddenShowsTheWindowAgain()
    {
        // The countdown started the download and hid the window; the user must hear it failed.
        server.setStatus("/files/lost.bin", 404);
        UpDateForm form;
        form.setData("1.0.1", "d", "n", fileUrl("files/lost.bin"));
        form.show();
        form.countdown = 1;
        form.onCountdownTick();
        QVERIFY(!form.isVisible());
        QTRY_VERIFY(!downloading(form) && server.count("/files/lost.bin") == 1);
        QVERIFY(form.isVisible());
        QVERIFY2(text(form, "label_desc").startsWith("Download failed:\n"),
                 qPrintable(text(form, "label_desc")));
        QCOMPARE(text(form, "pushButton_state"), QStringLiteral("下载失败"));
        QCOMPARE(form.findChild<QWidget *>("widget_progress")->width(), 0);

        // A retry shows progress again, then hands over as usual.
        serveFile("/files/lost.bin", "found");
        button(form, "pushButton")->click();
        QTRY_COMPARE(quits.size(), 1);
        QCOMPARE(text(form, "pushButton_state"), QStringLiteral("更新完毕,重启中"));
    }

    void hostileNamesAreRefused_data()
    {
        QTest::addColumn<QString>("path");
        QTest::newRow("encoded dots") << "files/%2E%2E";
        QTest::newRow("encoded backslash") << "files/sub%5Cevil.bin";
        QTest::newRow("dot dot") << "files/..";
        QTest::newRow("no name") << "files/";
    }
    void hostileNamesAreRefused()
    {
        QFETCH(QString, path);
        UpDateForm form;
        form.setData("1.0.1", "d", "n", fileUrl(path));
        form.startUpdate();
        QCOMPARE(boxes.size(), 1);
        QCOMPARE(boxes.first().title, QStringLiteral("Error"));
        QVERIFY2(boxes.first().text.startsWith("Unable to save the file "),
                 qPrintable(boxes.first().text));
        QVERIFY(!downloading(form));
        QVERIFY(server.paths.isEmpty());
        QVERIFY(QDir(dir->path()).entryList(QDir::Files | QDir::NoDotAndDotDot).isEmpty());
        QVERIFY(quits.isEmpty());
    }

    void encodedSlashesStayInTheDirectory()
    {
        // The name is the last segment after decoding, so "..%2F" climbs nowhere.
        UpDateForm form;
        form.setData("1.0.1", "d", "n", fileUrl("files/..%2F..%2Fescaped.bin"));
        form.startUpdate();
        QTRY_VERIFY(!downloading(form) && server.paths.size() == 1);
        QVERIFY(boxes.isEmpty());
        QVERIFY(!QFile::exists(dir->path() + "/../escaped.bin"));
        QVERIFY(!QFile::exists(dir->path() + "/../../escaped.bin"));
        QVERIFY(QDir(dir->path()).entryList(QDir::Files).isEmpty());
    }

    void unwritableTargetShowsError()
    {
        // A directory where the file should go cannot be replaced by a download.
        QVERIFY(QDir(dir->path()).mkdir("busy.bin"));
        serveFile("/files/busy.bin", "x");
        UpDateForm form;
        form.setData("1.0.1", "d", "n", fileUrl("files/busy.bin"));
        form.startUpdate();
        QCOMPARE(boxes.size(), 1);
        QCOMPARE(boxes.first().title, QStringLiteral("Error"));
        QVERIFY(boxes.first().text.startsWith("Unable to save the file "));
        QVERIFY(server.paths.isEmpty());
    }

    void countdownStartsWithItsOwnCleanup()
    {
        serveFile("/files/auto.bin", "auto");
        UpDateForm form;
        form.setData("1.0.1", "d", "n", fileUrl("files/auto.bin"));
        form.show();
        QVERIFY(countingDown(form));
        QCOMPARE(text(form, "pushButton_2"), QStringLiteral("暂时跳过"));
        for (const char *expected : {"暂时跳过:4", "暂时跳过:3", "暂时跳过:2", "暂时跳过:1"})
            QTRY_COMPARE_WITH_TIMEOUT(text(form, "pushButton_2"), QString::fromUtf8(expected),
                                      2000);
        QTRY_COMPARE_WITH_TIMEOUT(killed, UpDateForm::countdownCleanupNames(), 2000);
        QVERIFY(!form.isVisible());
        QVERIFY(!countingDown(form));
        // Hidden, the download still runs to the hand-over.
        QTRY_COMPARE(quits.size(), 1);
        QCOMPARE(readAll(target("auto.bin")), QByteArray("auto"));
        QVERIFY(UpDateForm::countdownCleanupNames() != UpDateForm::buttonCleanupNames());
        QVERIFY(UpDateForm::countdownCleanupNames().contains(platform::updaterExecutableName()));
    }

    void skipStopsEverything()
    {
        QPointer<UpDateForm> form = new UpDateForm;
        form->setData("1.0.1", "d", "n", fileUrl("files/never.bin"));
        form->show();
        button(*form, "pushButton_2")->click();
        QVERIFY(!form->isVisible());
        QVERIFY(!countingDown(*form));
        // The skipped offer goes away; nothing was cleaned up or fetched.
        QTRY_VERIFY(form.isNull());
        QVERIFY(killed.isEmpty());
        QVERIFY(server.paths.isEmpty());
    }

    void pressWhileDownloadingDoesNothing()
    {
        HomeHttpDouble::Answer slow;
        slow.body = "slow";
        slow.hold = true;
        server.setAnswer("/files/slow.bin", slow);
        UpDateForm form;
        form.setData("1.0.1", "d", "n", fileUrl("files/slow.bin"));
        form.startUpdate();
        QTRY_COMPARE(server.count("/files/slow.bin"), 1);
        QVERIFY(downloading(form));
        form.networkReplyProgress(2, 4);
        button(form, "pushButton")->click();
        form.startUpdate();
        form.downloadFile(fileUrl("files/other.bin"));
        QCOMPARE(killed, UpDateForm::buttonCleanupNames());
        QCOMPARE(text(form, "pushButton_state"), QStringLiteral("正在下载第1个文件 50%"));
        server.release();
        QTRY_COMPARE(quits.size(), 1);
        QCOMPARE(server.count("/files/slow.bin"), 1);
        QCOMPARE(readAll(target("slow.bin")), QByteArray("slow"));
    }

    void cancelledDownloadKeepsInstalledFile()
    {
        HomeHttpDouble::Answer slow;
        slow.body = "never";
        slow.hold = true;
        server.setAnswer("/files/cancel.bin", slow);
        writeFile(target("cancel.bin"), "installed");
        UpDateForm form;
        form.setData("1.0.1", "d", "n", fileUrl("files/cancel.bin"));
        form.startUpdate();
        QTRY_COMPARE(server.count("/files/cancel.bin"), 1);
        form.cancelDownload();
        QVERIFY(!downloading(form));
        QCOMPARE(readAll(target("cancel.bin")), QByteArray("installed"));
        QCOMPARE(QDir(dir->path()).entryList(QDir::Files), QStringList{"cancel.bin"});
        server.release();
        QVERIFY(quits.isEmpty());
    }

    void progressTexts()
    {
        UpDateForm form;
        form.networkReplyProgress(50, 200);
        QCOMPARE(text(form, "pushButton_state"), QStringLiteral("正在下载第1个文件 25%"));
        QCOMPARE(form.findChild<QWidget *>("widget_progress")->size(), QSize(40, 41));
        form.networkReplyProgress(200, 200);
        QCOMPARE(text(form, "pushButton_state"), QStringLiteral("正在下载第1个文件 100%"));
        QCOMPARE(form.findChild<QWidget *>("widget_progress")->width(), 160);
        // No total: the amount so far, no percentage, and the strip stays.
        form.networkReplyProgress(2048, -1);
        QCOMPARE(text(form, "pushButton_state"), QStringLiteral("正在下载第1个文件 2.0 kB"));
        form.networkReplyProgress(0, 0);
        QVERIFY(!text(form, "pushButton_state").contains('%'));
        QCOMPARE(form.findChild<QWidget *>("widget_progress")->width(), 160);
    }

    void unknownLengthDownloadCompletes()
    {
        HomeHttpDouble::Answer a;
        a.body = QByteArray(100000, 'z');
        a.announceLength = false;
        server.setAnswer("/files/stream.bin", a);
        UpDateForm form;
        form.setData("1.0.1", "d", "n", fileUrl("files/stream.bin"));
        form.startUpdate();
        QTRY_COMPARE(quits.size(), 1);
        QCOMPARE(readAll(target("stream.bin")).size(), 100000);
    }
};

QTEST_MAIN(TstUpDateForm)
#include "tst_updateform.moc"
