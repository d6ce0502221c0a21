#include "console.h"

#include <QTextStream>

#include <cstdio>
#include <iostream>
#include <string>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <csignal>
#include <termios.h>
#include <unistd.h>
#endif

namespace console {

namespace {

void write(FILE *stream, const QString &text)
{
#ifdef Q_OS_WIN
    // A console shows wide characters whatever its code page; a pipe or a file gets UTF-8.
    const HANDLE handle = GetStdHandle(stream == stdout ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
    DWORD mode = 0;
    if (handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode)) {
        const std::wstring wide = text.toStdWString();
        DWORD written = 0;
        WriteConsoleW(handle, wide.c_str(), DWORD(wide.size()), &written, nullptr);
        return;
    }
    const QByteArray bytes = text.toUtf8();
#else
    const QByteArray bytes = text.toLocal8Bit();
#endif
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
    std::fflush(stream);
}

bool inputIsTerminal()
{
#ifdef Q_OS_WIN
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode);
#else
    return isatty(STDIN_FILENO);
#endif
}

#ifndef Q_OS_WIN
// The terminal as it was before the echo went off, for a Ctrl+C in the middle of the password:
// the terminal must not stay silent after the program has gone.
termios echoing{};

void restoreAndEnd(int signal)
{
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &echoing);
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}
#endif

// Echo of the terminal off for as long as it lives; nothing when the input is not a terminal.
class HiddenInput
{
public:
    HiddenInput()
    {
#ifdef Q_OS_WIN
        input = GetStdHandle(STD_INPUT_HANDLE);
        if (input != INVALID_HANDLE_VALUE && GetConsoleMode(input, &saved))
            active = SetConsoleMode(input, saved & ~DWORD(ENABLE_ECHO_INPUT));
#else
        if (isatty(STDIN_FILENO) && tcgetattr(STDIN_FILENO, &saved) == 0) {
            echoing = saved;
            std::signal(SIGINT, restoreAndEnd);
            std::signal(SIGTERM, restoreAndEnd);
            termios quiet = saved;
            quiet.c_lflag &= ~tcflag_t(ECHO);
            active = tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet) == 0;
        }
#endif
    }
    ~HiddenInput()
    {
        if (!active)
            return;
#ifdef Q_OS_WIN
        SetConsoleMode(input, saved);
#else
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
        std::signal(SIGINT, SIG_DFL);
        std::signal(SIGTERM, SIG_DFL);
#endif
        // The Enter that ended the line was not echoed either.
        write(stderr, QStringLiteral("\n"));
    }
    HiddenInput(const HiddenInput &) = delete;
    HiddenInput &operator=(const HiddenInput &) = delete;

private:
    bool active = false;
#ifdef Q_OS_WIN
    HANDLE input = INVALID_HANDLE_VALUE;
    DWORD saved = 0;
#else
    termios saved{};
#endif
};

} // namespace

void out(const QString &line)
{
    write(stdout, line + QLatin1Char('\n'));
}

void note(const QString &line)
{
    write(stderr, QStringLiteral("borvane-agent: ") + line + QLatin1Char('\n'));
}

void error(const QString &line)
{
    note(QStringLiteral("error: ") + line);
}

QString prompt(const QString &question, bool hidden)
{
    // Piped input needs no questions.
    if (inputIsTerminal())
        write(stderr, question);
    std::string line;
    if (hidden) {
        HiddenInput quiet;
        std::getline(std::cin, line);
    } else {
        std::getline(std::cin, line);
    }
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    return QString::fromLocal8Bit(line.data(), int(line.size()));
}

} // namespace console
