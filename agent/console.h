#pragma once

#include <QString>

// What the agent says on its terminal (or in the service's journal) and the exit codes a
// script can rely on. The run's log file gets the program's own lines as the client writes
// them; these are for people and scripts.
namespace console {

enum ExitCode {
    Ok = 0,
    Usage = 1,         // unknown command, bad argument, unknown domain
    NotSignedIn = 2,   // no saved credentials: "borvane-agent login" first
    SignInRefused = 3, // the service refused the phone and password
    Unreachable = 4,   // the service did not answer
    NotRunning = 5,    // nothing answers on the local status API
    SystemError = 6,   // a file or the service manager refused
};

// A line on standard output (results) or standard error (progress and errors), each prefixed
// with the program's name on standard error.
void out(const QString &line);
void note(const QString &line);
void error(const QString &line);

// One line from standard input; with echo off while it is typed when hidden and the input is
// a terminal. Empty at the end of the input.
QString prompt(const QString &question, bool hidden);

} // namespace console
