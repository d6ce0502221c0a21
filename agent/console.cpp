#include "console.h"

#include <QTextStream>

#include <cstdio>
#include <iostream>
#include <string>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <termios.h>
#include <unistd.h>
#endif

namespace console {

namespace {

void write(FILE *stream, const QString &line)
{
    const QByteArray bytes = (line + QLatin1Char('\n')).toLocal8Bit();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
    std::fflush(stream);
}

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
#endif
        // The Enter that ended the line was not echoed either.
        std::fputs("\n", stderr);
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
    write(stdout, line);
}

void note(const QString &line)
{
    write(stderr, QStringLiteral("borvane-agent: ") + line);
}

void error(const QString &line)
{
    note(QStringLiteral("error: ") + line);
}

QString prompt(const QString &question, bool hidden)
{
#ifdef Q_OS_WIN
    const bool terminal = true;
#else
    const bool terminal = isatty(STDIN_FILENO);
#endif
    // Piped input needs no questions.
    if (terminal) {
        const QByteArray text = question.toLocal8Bit();
        std::fwrite(text.constData(), 1, size_t(text.size()), stderr);
        std::fflush(stderr);
    }
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
