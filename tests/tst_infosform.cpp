#include "core/globals.h"
#include "ui/infosform.h"
#include "ui/logviewer.h"

#include <QComboBox>
#include <QLineEdit>
#include <QTemporaryDir>

#include <QGraphicsDropShadowEffect>
#include <QLabel>
#include <QPushButton>
#include <QScrollBar>
#include <QTextEdit>
#include <QtTest>

class TstInfosForm : public QObject
{
    Q_OBJECT

private:
    static TunnelRecord record(const QString &domain)
    {
        TunnelRecord r;
        r.domain = domain;
        return r;
    }
    static QLabel *label(InfosForm &form, const char *name)
    {
        return form.findChild<QLabel *>(QLatin1String(name));
    }
    static QTextEdit *text(InfosForm &form)
    {
        return form.findChild<QTextEdit *>(QStringLiteral("textEdit"));
    }

private slots:
    void formBeforeFirstUpdate()
    {
        InfosForm form;
        QCOMPARE(form.size(), QSize(400, 300));
        QVERIFY(form.testAttribute(Qt::WA_TranslucentBackground));
        QVERIFY(form.windowFlags() & Qt::FramelessWindowHint);
        QVERIFY(form.windowFlags() & Qt::Window);
        QCOMPARE(label(form, "label_title")->text(), QStringLiteral("日志"));
        QCOMPARE(label(form, "label")->text(), QStringLiteral("发送心跳次数"));
        QCOMPARE(label(form, "label_2")->text(), QStringLiteral("收到心跳次数"));
        QVERIFY(text(form)->toPlainText().isEmpty());
        auto *close = form.findChild<QPushButton *>(QStringLiteral("pushButton"));
        QVERIFY(close);
        QCOMPARE(close->text(), QStringLiteral("关闭"));
        auto *shadow = qobject_cast<QGraphicsDropShadowEffect *>(
            form.findChild<QWidget *>(QStringLiteral("widget"))->graphicsEffect());
        QVERIFY(shadow);
        QCOMPARE(shadow->blurRadius(), 8.0);
        QCOMPARE(shadow->offset(), QPointF(0, 0));
    }

    // The third argument is the received count, the fourth the sent count; the labels show
    // sent on the left and received on the right.
    void updateShowsSwappedCounters()
    {
        InfosForm form;
        form.updateInfo(record(QStringLiteral("a.example.com")), QStringLiteral("line\n"), 7, 9);
        QCOMPARE(label(form, "label_title")->text(), QStringLiteral("a.example.com"));
        QCOMPARE(label(form, "label")->text(), QStringLiteral("已发送心跳包：9"));
        QCOMPARE(label(form, "label_2")->text(), QStringLiteral("已接收心跳包：7"));
        QCOMPARE(text(form)->toPlainText(), QStringLiteral("line\n"));

        form.updateInfo(record(QString()), QString(), 0, 0);
        QCOMPARE(label(form, "label_title")->text(), QString());
        QVERIFY(text(form)->toPlainText().isEmpty());
    }

    void hiddenWindowKeepsUpdatingAndCloseOnlyHides()
    {
        InfosForm form;
        form.show();
        QVERIFY(form.isVisible());
        QTest::mouseClick(form.findChild<QPushButton *>(QStringLiteral("pushButton")),
                          Qt::LeftButton);
        QVERIFY(!form.isVisible());
        form.updateInfo(record(QStringLiteral("b")), QStringLiteral("while hidden\n"), 1, 2);
        form.show();
        QCOMPARE(text(form)->toPlainText(), QStringLiteral("while hidden\n"));
        QCOMPARE(label(form, "label")->text(), QStringLiteral("已发送心跳包：2"));
    }

    void newestLineStaysInView()
    {
        InfosForm form;
        form.show();
        QString log;
        for (int i = 0; i < 200; ++i)
            log += QStringLiteral("[t] line %1\n").arg(i);
        form.updateInfo(record(QStringLiteral("c")), log, 0, 0);
        QTextEdit *edit = text(form);
        QCOMPARE(edit->textCursor().position(), edit->document()->characterCount() - 1);
        QCOMPARE(edit->textCursor().anchor(), edit->textCursor().position());
        QApplication::processEvents();
        QScrollBar *bar = edit->verticalScrollBar();
        QVERIFY(bar->maximum() > 0);
        QVERIFY(bar->value() > bar->maximum() / 2);
        QVERIFY(edit->viewport()->rect().contains(edit->cursorRect()));
    }

    // Server-chosen texts in the log must not turn the whole log into markup.
    void markupInTheLogStaysText()
    {
        InfosForm form;
        const QString log = QStringLiteral("<b>refused</b>\nsecond line\n");
        form.updateInfo(record(QStringLiteral("d")), log, 0, 0);
        QCOMPARE(text(form)->toPlainText(), log);
    }

    void dragsWithTheLeftButtonOnly()
    {
        InfosForm form;
        form.move(100, 100);
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        const QPoint start = form.pos();

        QTest::mousePress(&form, Qt::RightButton, Qt::NoModifier, QPoint(5, 5));
        QMouseEvent rightMove(QEvent::MouseMove, QPointF(45, 25), Qt::RightButton, Qt::RightButton,
                              Qt::NoModifier);
        QApplication::sendEvent(&form, &rightMove);
        QTest::mouseRelease(&form, Qt::RightButton, Qt::NoModifier, QPoint(45, 25));
        QCOMPARE(form.pos(), start);

        QTest::mousePress(&form, Qt::LeftButton, Qt::NoModifier, QPoint(5, 5));
        QMouseEvent move(QEvent::MouseMove, QPointF(45, 25), Qt::LeftButton, Qt::LeftButton,
                         Qt::NoModifier);
        QApplication::sendEvent(&form, &move);
        QCOMPARE(form.pos(), start + QPoint(40, 20));
        QTest::mouseRelease(&form, Qt::LeftButton, Qt::NoModifier, QPoint(45, 25));

        // After the release a move does nothing.
        QMouseEvent after(QEvent::MouseMove, QPointF(80, 80), Qt::NoButton, Qt::NoButton,
                          Qt::NoModifier);
        QApplication::sendEvent(&form, &after);
        QCOMPARE(form.pos(), start + QPoint(40, 20));
    }

    // From the status window: the run logs, filtered by level and text, and saved as shown.
    void logViewerFiltersAndSaves()
    {
        InfosForm form;
        QSignalSpy wanted(&form, &InfosForm::logsWanted);
        QSignalSpy requests(&form, &InfosForm::requestsWanted);
        form.findChild<QPushButton *>(QStringLiteral("btn_logs"))->click();
        form.findChild<QPushButton *>(QStringLiteral("btn_requests"))->click();
        QCOMPARE(wanted.size() + requests.size(), 2);

        QTemporaryDir dir;
        QVERIFY(QDir(dir.path()).mkpath(QStringLiteral("logs")));
        const QString before = QDir::currentPath();
        QVERIFY(QDir::setCurrent(dir.path()));
        logFileStamp = QStringLiteral("2026_12_10_12_00_00");
        QFile log(QStringLiteral("logs/2026_12_10_12_00_00.log"));
        QVERIFY(log.open(QIODevice::WriteOnly));
        log.write("Debug: File:(a) Line:(1) 发送心跳 nas.test (t)\r\n"
                  "Warning: File:(b) Line:(2) connect error ! 1 (t)\r\n"
                  "Debug: File:(c) Line:(3) 收到心跳 blog.test (t)\r\n");
        log.close();
        QFile(QStringLiteral("logs/2026_12_09_12_00_00.log")).open(QIODevice::WriteOnly);
        LogViewer viewer;
        QDir::setCurrent(before);
        auto *files = viewer.findChild<QComboBox *>(QStringLiteral("comboBox_file"));
        QCOMPARE(files->count(), 2);
        QVERIFY(files->currentText().contains(QStringLiteral("本次运行")));
        QCOMPARE(viewer.shownText().count('\n'), 2);
        viewer.findChild<QComboBox *>(QStringLiteral("comboBox_level"))->setCurrentIndex(2);
        QCOMPARE(viewer.shownText(),
                 QStringLiteral("Warning: File:(b) Line:(2) connect error ! 1 (t)"));
        viewer.findChild<QComboBox *>(QStringLiteral("comboBox_level"))->setCurrentIndex(0);
        viewer.findChild<QLineEdit *>(QStringLiteral("lineEdit_search"))->setText("BLOG");
        QTRY_VERIFY(viewer.shownText().startsWith(QStringLiteral("Debug: File:(c)")));
        QCOMPARE(viewer.shownText().count('\n'), 0);
        const QString saved = dir.filePath(QStringLiteral("saved.log"));
        QVERIFY(viewer.saveTo(saved));
        QFile back(saved);
        QVERIFY(back.open(QIODevice::ReadOnly));
        QCOMPARE(back.readAll(), viewer.shownText().toUtf8() + "\r\n");
        QVERIFY(!viewer.saveTo(dir.filePath(QStringLiteral("no/such/folder/x.log"))));
    }
};

QTEST_MAIN(TstInfosForm)
#include "tst_infosform.moc"
