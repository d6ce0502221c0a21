// The Windows side of the platform layer lives here; the project is built and tested on Linux,
// where this file compiles to nothing.
#include "platform.h"

#ifdef Q_OS_WIN
#error "The Windows platform layer is not written yet."
#endif
