#pragma once

#include <QPoint>
#include <QRect>
#include <QSize>

class QWidget;

// Where the frameless windows go on the screen. They carry no title bar of the window manager,
// so nothing else keeps them in reach: a window lost off the screen cannot be grabbed again.
namespace placement {

// How much of a window's top must stay on the screen to be grabbed again: the height of the
// title strip every frameless window draws.
constexpr int TitleStripPx = 40;

// The top-left corner for a window of size centred on owner, then moved as little as needed to
// lie inside available (a window larger than available covers it, its top edge at the top).
QPoint centredOn(const QRect &owner, const QSize &size, const QRect &available);

// The top-left corner nearest to wanted that keeps the window's title strip inside available
// (a strip wider than available covers it from side to side).
QPoint keepTitleStripInside(const QPoint &wanted, const QSize &size, const QRect &available);

// Moves window to the centre of owner's window, inside the available area of owner's screen.
// Without a visible owner (the home window in the tray, say) the window goes to the centre of
// the primary screen instead.
void centreOn(QWidget *window, const QWidget *owner);

// The available area (without panels and docks) of the screen that holds point.
QRect availableAreaAt(const QPoint &point);

} // namespace placement
