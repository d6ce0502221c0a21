// windows.h must not define min and max over the Qt headers included before it.
#if defined(_WIN32) && !defined(NOMINMAX)
#define NOMINMAX
#endif

#include "platform_gui.h"
#include "environment.h"

#include <QDesktopServices>
#include <QUrl>
#include <QWidget>

#ifdef Q_OS_WIN
#include <windows.h>
#endif

namespace platform {

void bringToFront(QWidget *window)
{
    if (!window)
        return;
    window->showNormal();
#ifdef Q_OS_WIN
    // Windows keeps a background process from taking the foreground, so activation alone may
    // only flash the taskbar button; a moment as a topmost window puts it above the others.
    const HWND hwnd = reinterpret_cast<HWND>(window->winId());
    SetWindowPos(hwnd, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_SHOWWINDOW);
    SetWindowPos(hwnd, HWND_NOTOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_SHOWWINDOW);
#endif
    window->raise();
    window->activateWindow();
}

void openUrl(const QString &url)
{
    const Environment &environment = Environment::current();
    if (environment.openUrl)
        environment.openUrl(url);
    else
        QDesktopServices::openUrl(QUrl(url));
}

} // namespace platform
