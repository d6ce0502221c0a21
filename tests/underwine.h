#pragma once

#include <QLibrary>
#include <QtGlobal>

// True when a Windows test runs under Wine rather than on Windows: Wine's ntdll exports its
// own version call, which Windows' does not.
inline bool underWine()
{
#ifdef Q_OS_WIN
    static const bool wine = QLibrary::resolve(QStringLiteral("ntdll"), "wine_get_version");
    return wine;
#else
    return false;
#endif
}

// Skips the rest of a case where Wine behaves unlike Windows; the reason names that behaviour.
#define SKIP_UNDER_WINE(reason)                                                                    \
    do {                                                                                           \
        if (underWine())                                                                           \
            QSKIP(reason);                                                                         \
    } while (false)

// Cases that wait for a shown window to be exposed.
#define NoExposeUnderWine "the offscreen platform plugin under Wine never reports a window exposed"
