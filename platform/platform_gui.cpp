#include "platform.h"

#include <QDesktopServices>
#include <QUrl>
#include <QWidget>

namespace platform {

namespace {
UrlOpener &openerSlot()
{
    static UrlOpener opener;
    return opener;
}
} // namespace

void bringToFront(QWidget *window)
{
    if (!window)
        return;
    window->showNormal();
    window->raise();
    window->activateWindow();
}

void openUrl(const QString &url)
{
    if (openerSlot())
        openerSlot()(url);
    else
        QDesktopServices::openUrl(QUrl(url));
}

void setUrlOpener(UrlOpener opener)
{
    openerSlot() = std::move(opener);
}

} // namespace platform
