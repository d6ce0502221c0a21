#pragma once

#include <QColor>
#include <QGraphicsDropShadowEffect>
#include <QMouseEvent>
#include <QPoint>
#include <QWidget>

// What the frameless windows share. They have no title bar to grab, so each moves itself from its
// own mouse handlers; the drag state stays in the window, the rule for using it lives here once.
namespace frameless {

// Only the left button starts a drag; a press of any other button leaves the state alone.
inline void press(const QMouseEvent *event, bool &dragging, int &pressX, int &pressY)
{
    if (event->button() != Qt::LeftButton)
        return;
    pressX = event->pos().x();
    pressY = event->pos().y();
    dragging = true;
}

// Keeps the point that went down under the cursor.
inline void move(QWidget *window, const QMouseEvent *event, bool dragging, int pressX, int pressY)
{
    if (dragging)
        window->move(window->pos() + event->pos() - QPoint(pressX, pressY));
}

// The rounded inner panel floats on a shadow centred beneath it, since the window draws no frame.
inline void setPanelShadow(QWidget *panel, const QColor &color, qreal blurRadius)
{
    auto *shadow = new QGraphicsDropShadowEffect(panel);
    shadow->setOffset(0, 0);
    shadow->setColor(color);
    shadow->setBlurRadius(blurRadius);
    panel->setGraphicsEffect(shadow);
}

} // namespace frameless
