#pragma once

#include <QString>

#include <functional>

// The agent as a service of the system: a systemd unit on Linux, a service of the service
// control manager on Windows. Each returns a console::ExitCode.
namespace service {

// Windows: the service's name in the service control manager.
constexpr wchar_t ServiceName[] = L"BorvaneAgent";

// Linux: the unit (deploy/borvane-agent.service) for the agent in programDir; a user unit
// leaves out the User= line and is wanted by the user's default target.
QString unitText(const QString &programDir, const QString &userName, bool userUnit);
// Where install-service writes the unit.
QString unitPath(bool userUnit);

int install(bool userUnit, bool printOnly);
int uninstall(bool userUnit);

// Windows: runs run() as the service the service control manager started, reporting its
// states, and stops it (by quitting the event loop) when the manager asks. Elsewhere, or when
// the manager did not start this process, says so and returns console::Usage.
int runAsService(const std::function<int()> &run);

} // namespace service
