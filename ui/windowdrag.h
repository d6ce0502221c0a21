#pragma once

#include <QMouseEvent>
#include <QPoint>
#include <QWidget>

// The frameless windows have no title bar to grab, so each moves itself from its own mouse
// handlers. The drag state stays in the window; the rule for using it lives here once.
namespace windowdrag {

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

} // namespace windowdrag
