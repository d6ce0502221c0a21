#include "core/globals.h"
#include "core/logging.h"

#include <QDir>
#include <QFile>
#include <QLocale>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#ifndef Q_OS_WIN
#include <sys/resource.h>

#include <csignal>
#endif

namespace {

// Level word (may be empty), context field, message, time field, CR LF.
const QRegularExpression linePattern(
    QStringLiteral("^(Debug:|Warning:|Critical:|Fatal:|) File:\\((.*)\\) Line:\\((\\d+)\\) (.*) "
                   "\\((\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2}) (\\S+)\\)\\r\\n$"));

QByteArray readLog()
{
    QFile file(logFilePath());
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.readAll();
}

// Lines of the log, each still carrying its CR LF.
QStringList logLines()
{
    const QString text = QString::fromLocal8Bit(readLog());
    QStringList lines;
    int start = 0;
    while (start < text.size()) {
        const int end = text.indexOf(QStringLiteral("\r\n"), start);
        if (end < 0) {
            lines << text.mid(start); // an unfinished line: fails the pattern
            break;
        }
        lines << text.mid(start, end + 2 - start);
        start = end + 2;
    }
    return lines;
}

class Logger : public QThread
{
public:
    Logger(const QString &name, int count) : name(name), count(count) {}

protected:
    void run() override
    {
        const QMessageLogContext context("worker.cpp", 7, "run", "default");
        for (int i = 0; i < count; ++i)
            logMessageHandler(QtDebugMsg, context,
                              QStringLiteral("%1 %2 %3").arg(name).arg(i).arg(QString(200, 'x')));
    }

private:
    QString name;
    int count;
};

} // namespace

class TstLogging : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir *workDir = nullptr;
    QString previousDir;

private slots:
    void init()
    {
        // Every case runs in its own empty working directory with ./logs ready.
        workDir = new QTemporaryDir;
        QVERIFY(workDir->isValid());
        previousDir = QDir::currentPath();
        QVERIFY(QDir::setCurrent(workDir->path()));
        QVERIFY(QDir().mkdir(QStringLiteral("logs")));
        logFileStamp = QStringLiteral("2024_03_01_09_05_07");
    }

    void cleanup()
    {
        QDir::setCurrent(previousDir);
        delete workDir;
        workDir = nullptr;
    }

    void fileIsNamedAfterTheStamp()
    {
        QCOMPARE(logFilePath(), QStringLiteral("./logs/2024_03_01_09_05_07.log"));
    }

    void levelWords_data()
    {
        QTest::addColumn<int>("type");
        QTest::addColumn<QString>("start");
        QTest::newRow("debug") << int(QtDebugMsg) << QStringLiteral("Debug: File:");
        QTest::newRow("warning") << int(QtWarningMsg) << QStringLiteral("Warning: File:");
        QTest::newRow("critical") << int(QtCriticalMsg) << QStringLiteral("Critical: File:");
        QTest::newRow("fatal") << int(QtFatalMsg) << QStringLiteral("Fatal: File:");
        // The info level has no word: its line starts with the separating space.
        QTest::newRow("info") << int(QtInfoMsg) << QStringLiteral(" File:");
    }
    void levelWords()
    {
        QFETCH(int, type);
        QFETCH(QString, start);
        const QMessageLogContext context("src/main.cpp", 42, "main", "default");
        const QString line =
            formatLogLine(QtMsgType(type), context, QStringLiteral("AppRunPath： x"));
        QVERIFY2(
            line.startsWith(start + QStringLiteral("(src/main.cpp) Line:(42) AppRunPath： x (")),
            qPrintable(line));
        QVERIFY(line.endsWith(QStringLiteral(")\r\n")));
        QVERIFY2(linePattern.match(line).hasMatch(), qPrintable(line));
    }

    void timeFieldIsLocalTimeWithDayName()
    {
        const QDateTime before = QDateTime::currentDateTime();
        const QString line = formatLogLine(QtDebugMsg, QMessageLogContext(), QStringLiteral("m"));
        const QDateTime after = QDateTime::currentDateTime();
        const QRegularExpressionMatch match = linePattern.match(line);
        QVERIFY2(match.hasMatch(), qPrintable(line));
        const QDateTime stamp =
            QDateTime::fromString(match.captured(5), QStringLiteral("yyyy-MM-dd hh:mm:ss"));
        QVERIFY(stamp.isValid());
        QVERIFY(stamp >= before.addMSecs(-before.time().msec()) && stamp <= after);
        QCOMPARE(match.captured(6),
                 QLocale::system().dayName(stamp.date().dayOfWeek(), QLocale::ShortFormat));
    }

    void contextWithoutSourceInformation()
    {
        // Release builds carry no file name and line 0.
        const QString line = formatLogLine(QtDebugMsg, QMessageLogContext(), QStringLiteral("m"));
        QVERIFY2(line.startsWith(QStringLiteral("Debug: File:() Line:(0) m (")), qPrintable(line));
    }

    void fileNameIsTakenLiterally()
    {
        // A path may hold "%1" or "%2" (a build directory, say): it is not a placeholder.
        const QMessageLogContext context("build%1/src%2/a.cpp", 9, "f", "default");
        const QString line = formatLogLine(QtDebugMsg, context, QStringLiteral("m %1"));
        QVERIFY2(
            line.startsWith(QStringLiteral("Debug: File:(build%1/src%2/a.cpp) Line:(9) m %1 (")),
            qPrintable(line));
    }

    void handlerAppendsLinesWithCrLf()
    {
        const QMessageLogContext context("a.cpp", 1, "f", "default");
        logMessageHandler(QtDebugMsg, context, QStringLiteral("first"));
        logMessageHandler(QtWarningMsg, context, QStringLiteral("第二 line"));
        const QByteArray bytes = readLog();
        QCOMPARE(bytes.count("\r\n"), 2);
        QVERIFY(bytes.endsWith("\r\n"));
        QVERIFY(!bytes.contains("\n\n"));
        const QStringList lines = logLines();
        QCOMPARE(lines.size(), 2);
        QVERIFY(lines.at(0).startsWith(QStringLiteral("Debug: File:(a.cpp) Line:(1) first (")));
        QVERIFY(
            lines.at(1).startsWith(QStringLiteral("Warning: File:(a.cpp) Line:(1) 第二 line (")));
        // The file is in the local 8-bit encoding.
        QVERIFY(bytes.contains(QStringLiteral("第二").toLocal8Bit()));
    }

    void installedHandlerReceivesTheDebugStream()
    {
        const QtMessageHandler previous = qInstallMessageHandler(logMessageHandler);
        qDebug().noquote() << "AppRunPath：" << QStringLiteral("/opt/app/borvane");
        qInfo() << "info";
        qWarning() << "warn";
        qInstallMessageHandler(previous);
        const QStringList lines = logLines();
        QCOMPARE(lines.size(), 3);
        QVERIFY2(lines.at(0).startsWith(QStringLiteral("Debug: File:(")), qPrintable(lines.at(0)));
        QVERIFY(lines.at(0).contains(QStringLiteral(") AppRunPath： /opt/app/borvane (")));
        QVERIFY(lines.at(1).startsWith(QStringLiteral(" File:(")));
        QVERIFY(lines.at(2).startsWith(QStringLiteral("Warning: File:(")));
        for (const QString &line : lines)
            QVERIFY2(linePattern.match(line).hasMatch(), qPrintable(line));
    }

    void twoThreadsGiveWholeLines()
    {
        constexpr int PerThread = 300;
        Logger a(QStringLiteral("alpha"), PerThread);
        Logger b(QStringLiteral("beta"), PerThread);
        a.start();
        b.start();
        QVERIFY(a.wait(30000));
        QVERIFY(b.wait(30000));
        const QStringList lines = logLines();
        QCOMPARE(lines.size(), 2 * PerThread);
        int nextAlpha = 0;
        int nextBeta = 0;
        for (const QString &line : lines) {
            const QRegularExpressionMatch match = linePattern.match(line);
            QVERIFY2(match.hasMatch(), qPrintable(line));
            const QStringList words = match.captured(4).split(' ');
            QCOMPARE(words.size(), 3);
            QCOMPARE(words.at(2), QString(200, 'x'));
            // Each thread's lines keep their own order.
            if (words.at(0) == QLatin1String("alpha"))
                QCOMPARE(words.at(1).toInt(), nextAlpha++);
            else
                QCOMPARE(words.at(1).toInt(), nextBeta++);
        }
        QCOMPARE(nextAlpha, PerThread);
        QCOMPARE(nextBeta, PerThread);
    }

    void deletedFileIsRecreated()
    {
        logMessageHandler(QtDebugMsg, QMessageLogContext(), QStringLiteral("before"));
        QVERIFY(QFile::exists(logFilePath()));
        QVERIFY(QFile::remove(logFilePath()));
        logMessageHandler(QtDebugMsg, QMessageLogContext(), QStringLiteral("after"));
        const QStringList lines = logLines();
        QCOMPARE(lines.size(), 1);
        QVERIFY(lines.first().contains(QStringLiteral(" after (")));
    }

    void unopenableFileNeitherBlocksNorRecurses()
    {
        // No ./logs directory at all, then a regular file in its place.
        QVERIFY(QDir(QStringLiteral("logs")).removeRecursively());
        const QtMessageHandler previous = qInstallMessageHandler(logMessageHandler);
        for (int i = 0; i < 3; ++i) {
            qDebug() << "lost" << i;
            qWarning() << "lost too";
        }
        QFile blocker(QStringLiteral("logs"));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        qCritical() << "also lost";
        qInstallMessageHandler(previous);
        // The handler creates no directory of its own, and the lines are simply gone.
        QVERIFY(QFileInfo(QStringLiteral("logs")).isFile());
        QCOMPARE(QFileInfo(QStringLiteral("logs")).size(), 0);

        // Once the directory is back, logging works again: the lock was released every time.
        QVERIFY(QFile::remove(QStringLiteral("logs")));
        QVERIFY(QDir().mkdir(QStringLiteral("logs")));
        logMessageHandler(QtDebugMsg, QMessageLogContext(), QStringLiteral("back"));
        QCOMPARE(logLines().size(), 1);
    }

    void secondRunInTheSameSecondAppends()
    {
        QFile file(logFilePath());
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("Debug: File:() Line:(0) earlier run (2024-03-01 09:05:07 Fri)\r\n");
        file.close();
        logMessageHandler(QtDebugMsg, QMessageLogContext(), QStringLiteral("this run"));
        const QStringList lines = logLines();
        QCOMPARE(lines.size(), 2);
        QVERIFY(lines.at(0).contains(QStringLiteral("earlier run")));
        QVERIFY(lines.at(1).contains(QStringLiteral("this run")));
    }

    void folderPastItsBoundsIsTrimmedAtStart()
    {
        // An earlier run's log past the age limit, then the oldest past the size limit go; this
        // run's file (a second run in the same second) and files that are not run logs stay.
        const auto make = [](const QString &name, int bytes, int daysOld) {
            QFile file(QStringLiteral("logs/") + name);
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write(QByteArray(bytes, 'x')));
            QVERIFY(file.setFileTime(QDateTime::currentDateTime().addDays(-daysOld),
                                     QFileDevice::FileModificationTime));
        };
        make("2024_01_01_00_00_00.log", 10, 31);
        make("2024_02_01_00_00_00.log", 600, 2);
        make("2024_02_02_00_00_00.log", 400, 1);
        make(logFileStamp + ".log", 100, 40);
        make("notes.log", 5000, 90);
        trimLogFolder(LogFolderLimits{30, 1000});
        QCOMPARE(QDir(QStringLiteral("logs")).entryList(QDir::Files, QDir::Name),
                 (QStringList{"2024_02_02_00_00_00.log", logFileStamp + ".log", "notes.log"}));

        // The bound holds for the rest of the run: lines take the oldest log's room, then drop.
        for (int i = 0; i < 20; ++i)
            logMessageHandler(QtDebugMsg, QMessageLogContext(), QString(100, 'm'));
        QVERIFY(!QFile::exists(QStringLiteral("logs/2024_02_02_00_00_00.log")));
        const qint64 size = QFileInfo(logFilePath()).size();
        QVERIFY2(size > 800 && size <= 1000, qPrintable(QString::number(size)));
        trimLogFolder(); // the usual bounds for the cases that follow
    }

    void lineCutShortByAFullDiskIsEnded()
    {
#ifdef Q_OS_WIN
        QSKIP("the file size limit stands in for a full disk where the system has one");
#else
        logMessageHandler(QtDebugMsg, QMessageLogContext(), QStringLiteral("first"));
        const qint64 size = QFileInfo(logFilePath()).size();
        rlimit original{};
        QCOMPARE(getrlimit(RLIMIT_FSIZE, &original), 0);
        rlimit full = original;
        full.rlim_cur = rlim_t(size + 20);
        const auto previous = std::signal(SIGXFSZ, SIG_IGN);
        QCOMPARE(setrlimit(RLIMIT_FSIZE, &full), 0);
        logMessageHandler(QtDebugMsg, QMessageLogContext(), QStringLiteral("cut short"));
        setrlimit(RLIMIT_FSIZE, &original);
        std::signal(SIGXFSZ, previous);
        QCOMPARE(QFileInfo(logFilePath()).size(), size + 20); // part of a line went in

        logMessageHandler(QtDebugMsg, QMessageLogContext(), QStringLiteral("after"));
        const QStringList lines = logLines();
        QCOMPARE(lines.size(), 3);
        QVERIFY(linePattern.match(lines.at(0)).hasMatch());
        QCOMPARE(lines.at(1), QString::fromLocal8Bit(readLog().mid(int(size), 20)) + "\r\n");
        QVERIFY2(linePattern.match(lines.at(2)).hasMatch(), qPrintable(lines.at(2)));
        QVERIFY(lines.at(2).contains(QStringLiteral(" after (")));
#endif
    }
};

QTEST_GUILESS_MAIN(TstLogging)
#include "tst_logging.moc"
