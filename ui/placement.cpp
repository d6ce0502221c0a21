#include "placement.h"

#include <QGuiApplication>
#include <QScreen>
#include <QWidget>

namespace placement {

namespace {

// Keeps a span of length starting at start inside [low, high); a span longer than the range
// covers it instead, never leaving part of the range uncovered.
int clampSpan(int start, int length, int low, int high)
{
    if (length > high - low)
        return qBound(high - length, start, low);
    return qBound(low, start, high - length);
}

} // namespace

QPoint centredOn(const QRect &owner, const QSize &size, const QRect &available)
{
    const QRect around = owner.isValid() ? owner : available;
    const QPoint wanted = around.topLeft() + QPoint((around.width() - size.width()) / 2,
                                                    (around.height() - size.height()) / 2);
    if (!available.isValid())
        return wanted;
    const QPoint inside(
        clampSpan(wanted.x(), size.width(), available.left(), available.right() + 1),
        clampSpan(wanted.y(), size.height(), available.top(), available.bottom() + 1));
    // Too tall for the screen: the top with its title strip stays on it.
    return {inside.x(), qMax(inside.y(), available.top())};
}

QPoint keepTitleStripInside(const QPoint &wanted, const QSize &size, const QRect &available)
{
    if (!available.isValid())
        return wanted;
    const int strip = qMin(TitleStripPx, size.height());
    return {clampSpan(wanted.x(), size.width(), available.left(), available.right() + 1),
            clampSpan(wanted.y(), strip, available.top(), available.bottom() + 1)};
}

namespace {

QRect availableArea(const QScreen *screen)
{
    if (!screen)
        screen = QGuiApplication::primaryScreen();
    return screen ? screen->availableGeometry() : QRect();
}

} // namespace

QRect availableAreaAt(const QPoint &point)
{
    return availableArea(QGuiApplication::screenAt(point));
}

void centreOn(QWidget *window, const QWidget *owner)
{
    const QWidget *top = owner ? owner->window() : nullptr;
    QRect ownerArea;
    if (top && top->isVisible())
        ownerArea = top->frameGeometry();
    const QRect available =
        ownerArea.isValid() ? availableAreaAt(ownerArea.center()) : availableArea(nullptr);
    window->move(centredOn(ownerArea, window->size(), available));
}

} // namespace placement
