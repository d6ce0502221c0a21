#pragma once

#include <QColor>
#include <QEvent>
#include <QGraphicsDropShadowEffect>
#include <QMouseEvent>
#include <QPoint>
#include <QWidget>

#include "ui/placement.h"

// What the frameless windows share. They have no title bar to grab, so each is moved by a
// drag of its own surface.
namespace frameless {

// Moves its window while the left button drags on the window itself (or on a child that leaves
// the mouse to it), keeping the point that went down under the cursor as long as the window's
// title strip stays inside the screen's available area; it stops at the edge. A press of any other
// button leaves the state alone; a release of any button ends the drag. Owned by the window;
// the window's own mouse handlers still get every event.
class Drag : public QObject
{
public:
    // startsDragging: whether a move before any press already drags, as the sign-in, home and
    // purchase windows have always done.
    explicit Drag(QWidget *window, bool startsDragging = false)
        : QObject(window), window(window), dragging(startsDragging)
    {
        window->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (watched != window)
            return false;
        switch (event->type()) {
        case QEvent::MouseButtonPress: {
            const auto *press = static_cast<QMouseEvent *>(event);
            if (press->button() == Qt::LeftButton) {
                pressPoint = press->pos();
                dragging = true;
            }
            break;
        }
        case QEvent::MouseMove:
            if (dragging) {
                const auto *move = static_cast<QMouseEvent *>(event);
                const QPoint wanted = window->pos() + move->pos() - pressPoint;
                window->move(placement::keepTitleStripInside(
                    wanted, window->size(), placement::availableAreaAt(move->globalPos())));
            }
            break;
        case QEvent::MouseButtonRelease:
            dragging = false;
            break;
        default:
            break;
        }
        return false;
    }

private:
    QWidget *const window;
    bool dragging;
    QPoint pressPoint;
};

// The rounded inner panel floats on a shadow centred beneath it, since the window draws no frame.
inline void setPanelShadow(QWidget *panel, const QColor &color, qreal blurRadius)
{
    auto *shadow = new QGraphicsDropShadowEffect(panel);
    shadow->setOffset(0, 0);
    shadow->setColor(color);
    shadow->setBlurRadius(blurRadius);
    panel->setGraphicsEffect(shadow);
}

// A small form of its own (an edit or details window): moved by a drag of its surface, its
// panel floating on a grey shadow.
inline void makeFloatingForm(QWidget *window, QWidget *panel)
{
    new Drag(window);
    window->setAttribute(Qt::WA_TranslucentBackground);
    window->setWindowFlags(Qt::Window | Qt::FramelessWindowHint);
    setPanelShadow(panel, Qt::gray, 8);
}

} // namespace frameless
