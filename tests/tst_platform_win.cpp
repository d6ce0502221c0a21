// What the Windows side of the platform layer adds: the minidump an unhandled exception leaves,
// the Run-key value and the desktop shell link. Built only for Windows (run under Wine here).
#include "platform/platform.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QUuid>
#include <QtTest>

#include <cstdio>
#include <cstring>
#include <thread>

#include <windows.h>

namespace {

const char ChildFlag[] = "--crash-child";
constexpr int ChildTimeoutMs = 20000;
constexpr unsigned long AccessViolation = 0xc0000005;
const QRegularExpression
    dumpPattern(QStringLiteral("^(\\d{2})时(\\d{2})分(\\d{2})秒(\\d{3})\\.dmp$"));
const QString runKey =
    QStringLiteral("HKEY_CURRENT_USER\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run");

void faultAt(std::uintptr_t address)
{
    // Through a volatile pointer, so the compiler cannot see (or drop) the bad write.
    volatile int *volatile target = reinterpret_cast<volatile int *>(address);
    *target = 1;
}

void notifyToFile(unsigned long code, unsigned long long address)
{
    if (FILE *f = std::fopen("notified.txt", "wb")) {
        std::fprintf(f, "%lx %d", code, address != 0 ? 1 : 0);
        std::fclose(f);
    }
}

int runChild(const QByteArray &mode)
{
    // No error box of the system's own: the test would wait for it.
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
    if (mode == "fault") {
        platform::installCrashHandler(nullptr);
        faultAt(0);
    } else if (mode == "fault-thread") {
        platform::installCrashHandler(nullptr);
        std::thread worker([]() { faultAt(0); });
        worker.join();
    } else if (mode == "notify") {
        platform::installCrashHandler(notifyToFile);
        faultAt(0x10);
    }
    return 3; // not reached when the fault ends the process
}

struct ChildResult
{
    bool finished = false;
    QProcess::ExitStatus status = QProcess::NormalExit;
    unsigned long code = 0;
    QStringList dumps;
    QByteArray dump;
};

ChildResult runCrashingChild(const QString &workDir, const QString &mode)
{
    ChildResult result;
    QProcess child;
    child.setWorkingDirectory(workDir);
    child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    child.start(QCoreApplication::applicationFilePath(), {QLatin1String(ChildFlag), mode});
    result.finished = child.waitForFinished(ChildTimeoutMs);
    if (!result.finished) {
        child.kill(); // this child only, by its own handle
        child.waitForFinished(ChildTimeoutMs);
    }
    result.status = child.exitStatus();
    result.code = static_cast<unsigned long>(child.exitCode());
    result.dumps = QDir(workDir).entryList({QStringLiteral("*.dmp")}, QDir::Files);
    if (result.dumps.size() == 1) {
        QFile dump(workDir + '/' + result.dumps.first());
        if (dump.open(QIODevice::ReadOnly))
            result.dump = dump.readAll();
    }
    return result;
}

} // namespace

class TstPlatformWin : public QObject
{
    Q_OBJECT

private slots:
    void faultWritesMinidumpAndEnds_data()
    {
        QTest::addColumn<QString>("mode");
        QTest::newRow("GUI thread") << QStringLiteral("fault");
        QTest::newRow("worker thread") << QStringLiteral("fault-thread");
    }
    void faultWritesMinidumpAndEnds()
    {
        QFETCH(QString, mode);
        QTemporaryDir workDir;
        QVERIFY(workDir.isValid());
        const ChildResult r = runCrashingChild(workDir.path(), mode);
        QVERIFY2(r.finished, "the crashed child did not end");
        QCOMPARE(r.status, QProcess::CrashExit);
        QCOMPARE(r.code, AccessViolation);
        QCOMPARE(r.dumps.size(), 1);
        QVERIFY2(dumpPattern.match(r.dumps.first()).hasMatch(), qPrintable(r.dumps.first()));
        // A real minidump: its signature, and more than a header.
        QVERIFY2(r.dump.startsWith("MDMP"), r.dump.left(16).toHex().constData());
        QVERIFY(r.dump.size() > 1024);
        QCOMPARE(QDir(workDir.path()).entryList(QDir::Files | QDir::NoDotAndDotDot).size(), 1);
    }

    void notifierGetsTheExceptionCode()
    {
        QTemporaryDir workDir;
        QVERIFY(workDir.isValid());
        const ChildResult r = runCrashingChild(workDir.path(), QStringLiteral("notify"));
        QVERIFY(r.finished);
        QCOMPARE(r.status, QProcess::CrashExit);
        QCOMPARE(r.dumps.size(), 1);
        QVERIFY(r.dump.startsWith("MDMP"));
        QFile notified(workDir.path() + QStringLiteral("/notified.txt"));
        QVERIFY(notified.open(QIODevice::ReadOnly));
        QCOMPARE(notified.readAll(), QByteArray("c0000005 1"));
    }

    void autostartValueInTheRunKey()
    {
        const QString name = QStringLiteral("BorvaneTest") + QUuid::createUuid().toString();
        const QString command =
            QStringLiteral("\"C:\\Program Files\\Borvane\\Borvane内网穿透.exe\"");
        QCOMPARE(platform::autostartValue(name), QString());
        platform::setAutostartValue(name, command);
        QCOMPARE(platform::autostartValue(name), command);
        {
            // Where the shell looks for it, as a string value.
            const QSettings run(runKey, QSettings::NativeFormat);
            QCOMPARE(run.value(name).toString(), command);
        }
        QSettings run(runKey, QSettings::NativeFormat);
        run.remove(name);
        run.sync();
        QCOMPARE(platform::autostartValue(name), QString());
    }

    void desktopShortcutIsAShellLink()
    {
        const QString desktop = QStandardPaths::writableLocation(QStandardPaths::DesktopLocation);
        QVERIFY(QDir().mkpath(desktop));
        const QString linkName =
            QStringLiteral("BorvaneTest") + QUuid::createUuid().toString(QUuid::WithoutBraces);
        const QString link = desktop + '/' + linkName + QStringLiteral(".lnk");
        const QString target = QCoreApplication::applicationFilePath();
        platform::createDesktopShortcut(linkName, target);
        QVERIFY2(QFileInfo::exists(link), qPrintable(link));
        QVERIFY(QFileInfo(link).isSymLink());
        QCOMPARE(QFileInfo(QFileInfo(link).symLinkTarget()).canonicalFilePath(),
                 QFileInfo(target).canonicalFilePath());
        QFile file(link);
        QVERIFY(file.open(QIODevice::ReadOnly));
        // The shell link header: its size (0x4c) and class identifier start the file.
        QCOMPARE(file.read(8).toHex(), QByteArray("4c00000001140200"));
        file.close();

        // An existing link is left as it is.
        const QDateTime written = QFileInfo(link).lastModified();
        platform::createDesktopShortcut(linkName, QStringLiteral("C:/elsewhere.exe"));
        QCOMPARE(QFileInfo(link).lastModified(), written);
        QCOMPARE(QFileInfo(QFileInfo(link).symLinkTarget()).canonicalFilePath(),
                 QFileInfo(target).canonicalFilePath());
        QVERIFY(QFile::remove(link));
    }

    void executableNames()
    {
        QCOMPARE(platform::clientExecutableName(), QStringLiteral("Borvane内网穿透.exe"));
        QCOMPARE(platform::updaterExecutableName(), QStringLiteral("tsy_up.exe"));
    }
};

int main(int argc, char *argv[])
{
    if (argc >= 3 && std::strcmp(argv[1], ChildFlag) == 0)
        return runChild(QByteArray(argv[2]));
    QCoreApplication app(argc, argv);
    TstPlatformWin test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_platform_win.moc"
