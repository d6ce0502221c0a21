#pragma once

// Shared by the operating-system sources of the platform layer; not for other callers.

#include "platform.h"

#include <QString>
#include <QStringList>

struct sockaddr;

namespace platform {

// Runs a command to completion through the environment's process runner; returns its exit code.
int runProcess(const QString &program, const QStringList &arguments);

// What connectTcp needs of each system: a stream socket that programs we start do not inherit,
// a blocking connect, and Nagle turned off.
SOCKET openStreamSocket(int family, int type, int protocol);
bool connectStreamSocket(SOCKET s, const sockaddr *address, int length);
void setNoDelay(SOCKET s);
// The system's text for the error of the socket call that failed last on this thread.
QString lastSocketError();

} // namespace platform
