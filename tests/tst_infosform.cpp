#include "ui/infosform.h"

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
};

QTEST_MAIN(TstInfosForm)
#include "tst_infosform.moc"
