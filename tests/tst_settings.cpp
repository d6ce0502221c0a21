#include "app/startup.h"
#include "core/globals.h"
#include "core/logging.h"
#include "core/settings.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFontDatabase>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <sys/stat.h>
#endif

namespace {

#ifndef Q_OS_WIN
int modeOf(const QString &path)
{
    struct stat info
    {
    };
    if (::stat(QFile::encodeName(path).constData(), &info) != 0)
        return -1;
    return int(info.st_mode & 0777);
}
#endif

void writeFile(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(bytes);
}

} // namespace

// The settings file lives beside the executable, so this test works on the config directory of
// the tests' own build directory; it keeps whatever was there and puts it back at the end.
class TstSettings : public QObject
{
    Q_OBJECT

private:
    QString configDir;
    QByteArray savedIni;
    bool hadIni = false;
    bool hadConfigDir = false;
    QString startDir;
    QTemporaryDir *workDir = nullptr;

private slots:
    void initTestCase()
    {
        configDir = QCoreApplication::applicationDirPath() + QStringLiteral("/config");
        hadConfigDir = QFileInfo(configDir).isDir();
        QFile ini(configDir + QStringLiteral("/main.ini"));
        hadIni = ini.open(QIODevice::ReadOnly);
        if (hadIni)
            savedIni = ini.readAll();
        startDir = QDir::currentPath();
    }

    void cleanupTestCase()
    {
        QDir::setCurrent(startDir);
        QDir(configDir).removeRecursively();
        if (hadConfigDir)
            QDir().mkpath(configDir);
        if (hadIni)
            writeFile(configDir + QStringLiteral("/main.ini"), savedIni);
    }

    void init()
    {
        QVERIFY(QDir(configDir).removeRecursively());
        workDir = new QTemporaryDir;
        QVERIFY(workDir->isValid());
        QVERIFY(QDir::setCurrent(workDir->path()));
        currentToken.clear();
    }

    void cleanup()
    {
        QDir::setCurrent(startDir);
        delete workDir;
        workDir = nullptr;
    }

    // ---- Where the file is ----

    void fileSitsBesideTheExecutable()
    {
        const QString expected = QDir::toNativeSeparators(QCoreApplication::applicationDirPath()) +
                                 QStringLiteral("/config/main.ini");
        QCOMPARE(settingsFilePath(), expected);
        QTemporaryDir other;
        QVERIFY(QDir::setCurrent(other.path()));
        QCOMPARE(settingsFilePath(), expected);
    }

    void foundFromAnotherWorkingDirectory()
    {
        writeSetting(QStringLiteral("token"), QStringLiteral("abc"));
        QTemporaryDir other;
        QVERIFY(QDir::setCurrent(other.path()));
        QCOMPARE(readSetting(QStringLiteral("/setting/token")), QStringLiteral("abc"));
        restoreSavedToken();
        QCOMPARE(currentToken, QStringLiteral("abc"));
        // Neither working directory got a config of its own.
        QVERIFY(!QFileInfo::exists(QStringLiteral("config")));
        QVERIFY(!QFileInfo::exists(workDir->path() + QStringLiteral("/config")));
    }

    // ---- Contents ----

    void fileWithOnlyATokenRestoresTheToken()
    {
        writeFile(settingsFilePath(), "[setting]\r\ntoken=tok-1\r\n");
        restoreSavedToken();
        QCOMPARE(currentToken, QStringLiteral("tok-1"));
        QCOMPARE(readSetting(QStringLiteral("/setting/username")), QString());
        QCOMPARE(readSetting(QStringLiteral("/setting/password")), QString());
        QVERIFY(readSetting(QStringLiteral("/setting/password")).isEmpty());
    }

    void absentKeysReadEmptyAndReadingCreatesNothing()
    {
        QCOMPARE(readSetting(QStringLiteral("/setting/token")), QString());
        QVERIFY(!QFileInfo::exists(settingsFilePath()));
    }

    void valuesRoundTrip_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("value");
        QTest::newRow("chinese name") << QStringLiteral("username") << QStringLiteral("张三");
        QTest::newRow("ini delimiters")
            << QStringLiteral("password") << QStringLiteral("p;w#d=1,2");
        QTest::newRow("quotes and backslash")
            << QStringLiteral("password") << QStringLiteral("a\"b\\c");
        QTest::newRow("surrounding spaces") << QStringLiteral("password") << QStringLiteral(" x ");
        QTest::newRow("empty") << QStringLiteral("token") << QString();
        QTest::newRow("tunnel autostart")
            << QStringLiteral("nas.example.com") << QStringLiteral("true");
    }
    void valuesRoundTrip()
    {
        QFETCH(QString, name);
        QFETCH(QString, value);
        writeSetting(QStringLiteral("userid"), QStringLiteral("keep"));
        writeSetting(name, value);
        QCOMPARE(readSetting(QStringLiteral("/setting/") + name), value);
        QCOMPARE(readSetting(QStringLiteral("/setting/userid")), QStringLiteral("keep"));
    }

    void keysLiveInTheSettingSection()
    {
        writeSetting(QStringLiteral("token"), QStringLiteral("t9"));
        QFile file(settingsFilePath());
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray text = file.readAll();
        QVERIFY2(text.contains("[setting]"), text.constData());
        QVERIFY2(text.contains("token=t9"), text.constData());
    }

    void writeKeepsDirectoryAndFilePrivate()
    {
#ifdef Q_OS_WIN
        QSKIP("on Windows the profile's access rights keep the file private, not mode bits");
#else
        // Lax permissions left by something else are tightened by the next write.
        QVERIFY(QDir().mkpath(settingsDirPath()));
        QFile::setPermissions(settingsDirPath(), QFileDevice::Permissions(0x7755));
        writeFile(settingsFilePath(), "[setting]\n");
        QFile::setPermissions(settingsFilePath(), QFileDevice::Permissions(0x6644));
        QCOMPARE(modeOf(settingsDirPath()), 0755);
        writeSetting(QStringLiteral("password"), QStringLiteral("secret"));
        QCOMPARE(modeOf(settingsDirPath()), 0700);
        QCOMPARE(modeOf(settingsFilePath()), 0600);
#endif
    }

    void firstWriteCreatesPrivateFiles()
    {
        QVERIFY(!QFileInfo::exists(settingsDirPath()));
        writeSetting(QStringLiteral("token"), QStringLiteral("x"));
#ifdef Q_OS_WIN
        QVERIFY(QFileInfo(settingsFilePath()).isFile());
#else
        QCOMPARE(modeOf(settingsDirPath()), 0700);
        QCOMPARE(modeOf(settingsFilePath()), 0600);
#endif
    }

    // ---- Start-up ----

    void runValues()
    {
        const QRegularExpression uuidPattern(
            QStringLiteral("^\\{[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}\\}$"));
        initRunValues();
        const QString first = clientUuid;
        initRunValues();
        QVERIFY2(uuidPattern.match(first).hasMatch(), qPrintable(first));
        QVERIFY2(uuidPattern.match(clientUuid).hasMatch(), qPrintable(clientUuid));
        QCOMPARE(clientUuid.size(), 38);
        QVERIFY(clientUuid != first);

        const QDateTime stamp =
            QDateTime::fromString(logFileStamp, QStringLiteral("yyyy_MM_dd_hh_mm_ss"));
        QVERIFY2(stamp.isValid(), qPrintable(logFileStamp));
        QCOMPARE(logFileStamp.size(), 19);
        QVERIFY(qAbs(stamp.secsTo(QDateTime::currentDateTime())) <= 2);
    }

    void logDirectoryInTheWorkingDirectory()
    {
        ensureLogDirectory();
        QVERIFY(QFileInfo(QStringLiteral("logs")).isDir());
        ensureLogDirectory(); // already there: quietly fine
        QVERIFY(QFileInfo(QStringLiteral("logs")).isDir());
        // A regular file called logs is left alone.
        QVERIFY(QDir(QStringLiteral("logs")).removeRecursively());
        writeFile(QStringLiteral("logs"), "keep");
        ensureLogDirectory();
        QVERIFY(QFileInfo(QStringLiteral("logs")).isFile());
        QFile file(QStringLiteral("logs"));
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), QByteArray("keep"));
    }

    void firstRunInAnEmptyDirectory()
    {
        const QtMessageHandler testHandler = qInstallMessageHandler(nullptr);
        qInstallMessageHandler(testHandler);

        startUp(*qApp, QStringLiteral("/opt/borvane/borvane"));

        // Give the debug stream back to the test framework and drop the crash handler.
        qInstallMessageHandler(testHandler);
#ifdef Q_OS_WIN
        SetUnhandledExceptionFilter(nullptr);
        QVERIFY(QFileInfo(settingsDirPath()).isDir());
#else
        for (int sig : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT})
            std::signal(sig, SIG_DFL);

        QVERIFY(QFileInfo(settingsDirPath()).isDir());
        QCOMPARE(modeOf(settingsDirPath()), 0700);
#endif
        QVERIFY(!QFileInfo::exists(settingsFilePath()));
        QCOMPARE(currentToken, QString());
        QVERIFY(QFileInfo(QStringLiteral("logs")).isDir());
        QVERIFY(!clientUuid.isEmpty());

        QFile log(logFilePath());
        QVERIFY2(log.open(QIODevice::ReadOnly), qPrintable(logFilePath()));
        const QString text = QString::fromLocal8Bit(log.readAll());
        QVERIFY2(text.startsWith(QStringLiteral("Debug: File:(")), qPrintable(text));
        QVERIFY2(text.contains(QStringLiteral(" AppRunPath： /opt/borvane/borvane (")),
                 qPrintable(text));
        QVERIFY2(!text.contains(QStringLiteral("Failed to load font.")), qPrintable(text));
        // The tests are built without a release key.
        QVERIFY2(text.contains(QStringLiteral("development build: updates unverified")),
                 qPrintable(text));
        QCOMPARE(QGuiApplication::applicationDisplayName(), developmentBuildName());

        // The embedded font is the application font.
        const QStringList families = QFontDatabase::applicationFontFamilies(
            QFontDatabase::addApplicationFont(QStringLiteral(":/img/img/font.otf")));
        QVERIFY(!families.isEmpty());
        QCOMPARE(QApplication::font().family(), families.first());
    }
};

QTEST_MAIN(TstSettings)
#include "tst_settings.moc"
