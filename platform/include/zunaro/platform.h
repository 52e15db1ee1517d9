#pragma once
// Which platform carries the service's calls: the embedded one (state in
// files under the device root) or the desktop one (the session's
// freedesktop services). Chosen once at start; nothing outside the platform
// layer asks which one runs.

#include <QString>

namespace zplatform {

enum class PlatformKind { Embedded, Desktop };

PlatformKind platformKind();
// Tests and start-up only: set before the first platform call.
void setPlatformKind(PlatformKind kind);

// "embedded" or "desktop"; false for anything else.
bool platformKindFromName(const QString &name, PlatformKind *kind);

// Chooses the platform from "--platform=NAME" among the arguments, else
// $ZUNARO_PLATFORM, else embedded, and readies it for a service (the
// desktop platform claims the service's bus name). 0 when the service may
// run; otherwise the exit status, after one line on standard error: 2 for an
// unknown platform or a desktop without a session bus or XDG_RUNTIME_DIR, 1
// when another service already runs on this session. A desktop service that
// loses its session bus later ends with kSessionBusLostExitStatus.
int startServicePlatform(int argc, char **argv);
constexpr int kSessionBusLostExitStatus = 3;

// The platform choice alone, for tools: the same sources, no claim.
// False with the line for standard error when the name is unknown.
bool choosePlatform(int argc, char **argv, QString *error);

} // namespace zplatform
