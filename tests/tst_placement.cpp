#include "ui/frameless.h"
#include "ui/placement.h"

#include <QGuiApplication>
#include <QMouseEvent>
#include <QScreen>
#include <QtTest>

// Where the frameless windows open and how far a drag may take them: centred on their owner,
// always inside the screen's available area, the title strip never out of reach.
class TstPlacement : public QObject
{
    Q_OBJECT

private slots:
    void centredOnOwner_data()
    {
        QTest::addColumn<QRect>("owner");
        QTest::addColumn<QSize>("size");
        QTest::addColumn<QPoint>("expected");
        // The screen below is 1280 x 760 from (0, 40): a panel takes the top 40 pixels.
        QTest::newRow("middle") << QRect(300, 200, 600, 400) << QSize(200, 100) << QPoint(500, 350);
        QTest::newRow("owner at the top-left")
            << QRect(0, 40, 300, 200) << QSize(400, 300) << QPoint(0, 40);
        QTest::newRow("owner at the bottom-right")
            << QRect(1000, 600, 280, 200) << QSize(400, 300) << QPoint(880, 500);
        QTest::newRow("owner off the screen")
            << QRect(-900, -900, 300, 300) << QSize(100, 100) << QPoint(0, 40);
        QTest::newRow("no owner: the screen's centre")
            << QRect() << QSize(200, 100) << QPoint(540, 370);
        QTest::newRow("larger than the screen keeps its top on it")
            << QRect(0, 40, 1280, 760) << QSize(1500, 900) << QPoint(-110, 40);
    }
    void centredOnOwner()
    {
        QFETCH(QRect, owner);
        QFETCH(QSize, size);
        QFETCH(QPoint, expected);
        QCOMPARE(placement::centredOn(owner, size, QRect(0, 40, 1280, 760)), expected);
    }

    void titleStripStaysInside_data()
    {
        QTest::addColumn<QPoint>("wanted");
        QTest::addColumn<QSize>("size");
        QTest::addColumn<QPoint>("expected");
        QTest::newRow("inside") << QPoint(100, 100) << QSize(400, 300) << QPoint(100, 100);
        QTest::newRow("above the panel") << QPoint(100, -50) << QSize(400, 300) << QPoint(100, 40);
        // The body may hang below the screen; the strip may not.
        QTest::newRow("low") << QPoint(100, 700) << QSize(400, 300) << QPoint(100, 700);
        QTest::newRow("too low") << QPoint(100, 790) << QSize(400, 300) << QPoint(100, 760);
        QTest::newRow("left") << QPoint(-200, 100) << QSize(400, 300) << QPoint(0, 100);
        QTest::newRow("right") << QPoint(1100, 100) << QSize(400, 300) << QPoint(880, 100);
        QTest::newRow("wider than the screen")
            << QPoint(100, 100) << QSize(1500, 300) << QPoint(0, 100);
        QTest::newRow("wider, too far left")
            << QPoint(-400, 100) << QSize(1500, 300) << QPoint(-220, 100);
    }
    void titleStripStaysInside()
    {
        QFETCH(QPoint, wanted);
        QFETCH(QSize, size);
        QFETCH(QPoint, expected);
        QCOMPARE(placement::keepTitleStripInside(wanted, size, QRect(0, 40, 1280, 760)), expected);
    }

    void windowsOpenOnTheirOwnerAndDragStopsAtTheEdge()
    {
        const QRect available = QGuiApplication::primaryScreen()->availableGeometry();
        QWidget owner;
        owner.setWindowFlags(Qt::Window | Qt::FramelessWindowHint);
        owner.resize(300, 200);
        owner.move(available.topLeft() + QPoint(20, 30));
        owner.show();
        QVERIFY(QTest::qWaitForWindowExposed(&owner));
        QWidget child(&owner);

        QWidget window;
        window.setWindowFlags(Qt::Window | Qt::FramelessWindowHint);
        window.resize(100, 80);
        // The owner given may be any widget inside the owning window, a card say.
        placement::centreOn(&window, &child);
        QCOMPARE(window.geometry().center(), owner.geometry().center());
        owner.hide();
        placement::centreOn(&window, &owner);
        QCOMPARE(window.geometry().center(), available.center());

        new frameless::Drag(&window);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QTest::mousePress(&window, Qt::LeftButton, Qt::NoModifier, QPoint(5, 5));
        const QPoint farAway = window.mapToGlobal(QPoint(5, 5)) - QPoint(5000, 5000);
        QMouseEvent move(QEvent::MouseMove, window.mapFromGlobal(farAway), farAway, Qt::NoButton,
                         Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(&window, &move);
        QCOMPARE(window.pos(), available.topLeft());
        QTest::mouseRelease(&window, Qt::LeftButton, Qt::NoModifier, QPoint(5, 5));
    }
};

QTEST_MAIN(TstPlacement)
#include "tst_placement.moc"
