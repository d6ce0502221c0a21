#pragma once

// The operating-system services that need Qt's GUI modules. They are built with the widgets
// (the card library), apart from the Qt Core services of platform.h.

#include <QString>

class QWidget;

namespace platform {

void bringToFront(QWidget *window); // the topmost toggle of the home window

// Opens a URL in the default browser, or hands it to the environment's opener.
void openUrl(const QString &url);

} // namespace platform
