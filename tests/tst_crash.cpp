#include "app/crashreport.h"
#include "platform/platform.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTime>
#include <QTimer>
#include <QtTest>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>

namespace {

const char ChildFlag[] = "--crash-child";
constexpr int ChildTimeoutMs = 20000;
const QRegularExpression
    dumpPattern(QStringLiteral("^(\\d{2})时(\\d{2})分(\\d{2})秒(\\d{3})\\.dmp$"));

// ---- The child side: the test executable run again with ChildFlag and a mode ----

void faultAt(std::uintptr_t address)
{
    // Through a volatile pointer, so the compiler cannot see (or drop) the bad write.
    volatile int *volatile target = reinterpret_cast<volatile int *>(address);
    *target = 1;
}

void notifyToFile(unsigned long code, unsigned long long address)
{
    char text[64];
    const int n = std::snprintf(text, sizeof text, "%lu %llx", code, address);
    const int fd = ::open("notified.txt", O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd >= 0) {
        if (::write(fd, text, size_t(n)) < 0) {
        }
        ::close(fd);
    }
}

// A notifier stuck before its report is shown, as one waiting on a lock the crash left held.
void notifyNever(unsigned long, unsigned long long)
{
    for (;;)
        ::pause();
}

int runChild(int argc, char *argv[], const QByteArray &mode)
{
    const rlimit noCore{0, 0};
    setrlimit(RLIMIT_CORE, &noCore);
    if (mode == "segv") {
        platform::installCrashHandler(nullptr);
        faultAt(0);
    } else if (mode == "segv-thread") {
        platform::installCrashHandler(nullptr);
        std::thread worker([]() { faultAt(0); });
        worker.join();
    } else if (mode == "abort") {
        platform::installCrashHandler(nullptr);
        std::abort();
    } else if (mode == "notify-stuck") {
        platform::installCrashHandler(notifyNever);
        faultAt(0);
    } else if (mode == "notify") {
        platform::installCrashHandler(notifyToFile);
        faultAt(0x10);
    } else if (mode == "client-box") {
        // The client's handler on the GUI thread: its box runs on the signal stack. The box is
        // offscreen and closes itself; its title and text go to box.txt.
        QApplication app(argc, argv);
        installClientCrashHandler();
        QTimer closer;
        closer.setInterval(50);
        QObject::connect(&closer, &QTimer::timeout, []() {
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            if (!box)
                return;
            QFile file(QStringLiteral("box.txt"));
            if (file.open(QIODevice::WriteOnly))
                file.write((box->windowTitle() + '\n' + box->text()).toUtf8());
            file.close();
            box->accept();
        });
        closer.start();
        QTimer::singleShot(0, []() { faultAt(0); });
        return app.exec();
    } else if (mode == "client-thread") {
        // The client's own handler with its box: a fault off the GUI thread must not wait for
        // a box that nobody can see.
        QApplication app(argc, argv);
        installClientCrashHandler();
        std::thread worker([]() { faultAt(0); });
        worker.join();
    }
    return 3; // not reached when the fault ends the process
}

// ---- The test side ----

struct ChildResult
{
    bool finished = false;
    QProcess::ExitStatus status = QProcess::NormalExit;
    int code = 0;
    QStringList dumps;
    QByteArray report;
    int startMs = 0;
    int endMs = 0;
};

ChildResult runCrashingChild(const QString &workDir, const QString &mode)
{
    ChildResult result;
    QProcess child;
    child.setWorkingDirectory(workDir);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    child.setProcessEnvironment(env);
    child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    result.startMs = QTime::currentTime().msecsSinceStartOfDay();
    child.start(QCoreApplication::applicationFilePath(), {QLatin1String(ChildFlag), mode});
    result.finished = child.waitForFinished(ChildTimeoutMs);
    result.endMs = QTime::currentTime().msecsSinceStartOfDay();
    if (!result.finished) {
        child.kill(); // this child only, by its own handle
        child.waitForFinished(ChildTimeoutMs);
    }
    result.status = child.exitStatus();
    result.code = child.exitCode();
    result.dumps = QDir(workDir).entryList({QStringLiteral("*.dmp")}, QDir::Files);
    if (result.dumps.size() == 1) {
        QFile dump(workDir + '/' + result.dumps.first());
        if (dump.open(QIODevice::ReadOnly))
            result.report = dump.readAll();
    }
    return result;
}

// Milliseconds since midnight that a dump name stands for, or -1.
int dumpTimeMs(const QString &name)
{
    const QRegularExpressionMatch m = dumpPattern.match(name);
    if (!m.hasMatch())
        return -1;
    return ((m.captured(1).toInt() * 60 + m.captured(2).toInt()) * 60 + m.captured(3).toInt()) *
               1000 +
           m.captured(4).toInt();
}

bool withinRun(int ms, int startMs, int endMs)
{
    constexpr int DayMs = 24 * 3600 * 1000;
    const int span = (endMs - startMs + DayMs) % DayMs;
    return (ms - startMs + DayMs) % DayMs <= span;
}

} // namespace

class TstCrash : public QObject
{
    Q_OBJECT

private slots:
    void reportText()
    {
        QCOMPARE(crashReportText(0xc0000005, 0x7ff6a),
                 QStringLiteral(
                     "<FONT size=4><div><b>对于发生的错误，表示诚挚的歉意，请您进入官方QQ群反馈解决"
                     "</b><br/></div><div>错误代码：c0000005</div><div>错误地址：7ff6a</div>"
                     "</FONT>"));
        QVERIFY(crashReportText(11, 0).endsWith(
            QStringLiteral("<div>错误代码：b</div><div>错误地址：0</div></FONT>")));
    }

    void dumpNameIsTheLocalTime()
    {
        const int before = QTime::currentTime().msecsSinceStartOfDay();
        const QString name = platform::crashDumpName();
        const int after = QTime::currentTime().msecsSinceStartOfDay();
        QVERIFY2(dumpPattern.match(name).hasMatch(), qPrintable(name));
        QVERIFY2(withinRun(dumpTimeMs(name), before, after), qPrintable(name));
    }

    void faultWritesDumpAndEndsBySignal_data()
    {
        QTest::addColumn<QString>("mode");
        QTest::addColumn<int>("signal");
        QTest::addColumn<QByteArray>("signalName");
        QTest::newRow("null write")
            << QStringLiteral("segv") << int(SIGSEGV) << QByteArray("SIGSEGV");
        QTest::newRow("null write on a worker thread")
            << QStringLiteral("segv-thread") << int(SIGSEGV) << QByteArray("SIGSEGV");
        QTest::newRow("abort") << QStringLiteral("abort") << int(SIGABRT) << QByteArray("SIGABRT");
        QTest::newRow("client handler, worker thread")
            << QStringLiteral("client-thread") << int(SIGSEGV) << QByteArray("SIGSEGV");
    }
    void faultWritesDumpAndEndsBySignal()
    {
        QFETCH(QString, mode);
        QFETCH(int, signal);
        QFETCH(QByteArray, signalName);
        QTemporaryDir workDir;
        QVERIFY(workDir.isValid());
        const ChildResult r = runCrashingChild(workDir.path(), mode);
        QVERIFY2(r.finished, "the crashed child did not end");
        QCOMPARE(r.status, QProcess::CrashExit);
        QCOMPARE(r.code, signal);
        QCOMPARE(r.dumps.size(), 1);
        const QString name = r.dumps.first();
        QVERIFY2(withinRun(dumpTimeMs(name), r.startMs, r.endMs), qPrintable(name));
        QVERIFY2(
            r.report.contains("signal: " + QByteArray::number(signal) + " (" + signalName + ")"),
            r.report.constData());
        QVERIFY(r.report.contains("backtrace:"));
        // A fault has a positive code; abort() sends the signal with a negative one.
        QVERIFY2(QRegularExpression(signal == SIGABRT ? "\nsignal code: -\\d+\n"
                                                      : "\nsignal code: \\d+\n")
                     .match(QString::fromLatin1(r.report))
                     .hasMatch(),
                 r.report.constData());
        // The dump belongs to the working directory, nothing else is left behind.
        QCOMPARE(QDir(workDir.path()).entryList(QDir::Files | QDir::NoDotAndDotDot).size(), 1);
    }

    void clientBoxAppearsAfterAFaultOnTheGuiThread()
    {
        QTemporaryDir workDir;
        QVERIFY(workDir.isValid());
        const ChildResult r = runCrashingChild(workDir.path(), QStringLiteral("client-box"));
        QVERIFY2(r.finished, "the crashed child did not end");
        QCOMPARE(r.status, QProcess::CrashExit);
        QCOMPARE(r.code, int(SIGSEGV));
        QCOMPARE(r.dumps.size(), 1);
        QFile box(workDir.path() + QStringLiteral("/box.txt"));
        QVERIFY2(box.open(QIODevice::ReadOnly), "the crash box never appeared");
        QCOMPARE(QString::fromUtf8(box.readAll()),
                 QStringLiteral("程序崩溃\n") + crashReportText(SIGSEGV, 0));
    }

    void laterCrashInTheSameMillisecondReplacesTheDump()
    {
        // Fill the next few seconds with dumps of an earlier day (large, sparse files), so the
        // child's dump lands on an existing name.
        constexpr int WindowMs = 5000;
        constexpr qint64 OldSize = 64 * 1024;
        QTemporaryDir workDir;
        QVERIFY(workDir.isValid());
        const QTime base = QTime::currentTime();
        for (int ms = 0; ms < WindowMs; ++ms) {
            QFile old(workDir.path() + '/' +
                      base.addMSecs(ms).toString(QStringLiteral("HH时mm分ss秒zzz")) +
                      QStringLiteral(".dmp"));
            QVERIFY(old.open(QIODevice::WriteOnly));
            QVERIFY(old.resize(OldSize));
        }
        const ChildResult r = runCrashingChild(workDir.path(), QStringLiteral("segv"));
        QVERIFY(r.finished);
        QCOMPARE(r.status, QProcess::CrashExit);
        if (r.dumps.size() != WindowMs)
            QSKIP("the child crashed after the prepared window");
        QStringList replaced;
        for (const QString &name : r.dumps) {
            if (QFileInfo(workDir.path() + '/' + name).size() != OldSize)
                replaced << name;
        }
        QCOMPARE(replaced.size(), 1);
        QFile dump(workDir.path() + '/' + replaced.first());
        QVERIFY(dump.open(QIODevice::ReadOnly));
        const QByteArray report = dump.readAll();
        QVERIFY2(report.startsWith("Borvane crash report\n"), report.left(64).toHex().constData());
        QVERIFY(!report.contains('\0')); // nothing of the older file is left behind
    }

    void stuckNotifierStillEndsTheProcess()
    {
        QTemporaryDir workDir;
        QVERIFY(workDir.isValid());
        QElapsedTimer clock;
        clock.start();
        const ChildResult r = runCrashingChild(workDir.path(), QStringLiteral("notify-stuck"));
        QVERIFY2(r.finished, "a notifier that never shows its report kept the process alive");
        QCOMPARE(r.status, QProcess::CrashExit);
        QCOMPARE(r.dumps.size(), 1);
        // Ended by the limit, not by anything sooner.
        QVERIFY(clock.elapsed() >= (platform::CrashReportStartLimitSecs - 1) * 1000);
    }

    void notifierGetsSignalAndAddress()
    {
        QTemporaryDir workDir;
        QVERIFY(workDir.isValid());
        const ChildResult r = runCrashingChild(workDir.path(), QStringLiteral("notify"));
        QVERIFY(r.finished);
        QCOMPARE(r.status, QProcess::CrashExit);
        QCOMPARE(r.dumps.size(), 1);
        QVERIFY2(r.report.contains("fault address: 0x10\n"), r.report.constData());
        QFile notified(workDir.path() + QStringLiteral("/notified.txt"));
        QVERIFY(notified.open(QIODevice::ReadOnly));
        QCOMPARE(notified.readAll(), QByteArray::number(SIGSEGV) + " 10");
    }
};

int main(int argc, char *argv[])
{
    if (argc >= 3 && std::strcmp(argv[1], ChildFlag) == 0)
        return runChild(argc, argv, QByteArray(argv[2]));
    QCoreApplication app(argc, argv);
    TstCrash test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_crash.moc"
