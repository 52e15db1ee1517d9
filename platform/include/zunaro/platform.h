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

// "unknown platform ..." for a name platformKindFromName refuses.
QString unknownPlatformError(const QString &name);

// The service's command line: --help, --version, --platform NAME (or
// --platform=NAME; else $ZUNARO_PLATFORM, else embedded). Chooses the
// platform and readies it for a service (the desktop platform claims the
// service's bus name). True when the service may run; otherwise false with
// the exit status: 0 after the help or the version on standard output, else
// after one line on standard error, 2 for a bad command line, an unknown
// platform or a desktop without a session bus or XDG_RUNTIME_DIR, 1 when
// another service already runs on this session. A desktop service that loses
// its session bus later ends with kSessionBusLostExitStatus.
bool startServicePlatform(int argc, char **argv, int *exitStatus);
constexpr int kSessionBusLostExitStatus = 3;

} // namespace zplatform
