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
// platform, a device without its layout (nothing made then), a data folder
// the service cannot use, or a desktop without a session bus or
// XDG_RUNTIME_DIR, 1 when another service already runs on this session. A
// desktop service that loses its session bus later ends with
// kSessionBusLostExitStatus.
bool startServicePlatform(int argc, char **argv, int *exitStatus);
constexpr int kSessionBusLostExitStatus = 3;

// One service per device (embedded) or per user (desktop): takes the lock
// file the service then holds until it ends, <device root>/platform/ or
// $XDG_RUNTIME_DIR/zunaro/zunaro-service.lock. 0 when taken; else, after one
// line on standard error, 1 when another service holds it (the line names
// the file and that service's id) or 2 when it cannot be taken here (the
// line names the path and the cause).
int holdInstanceLock();

// Whether process `pid` is a live service of any device or user: it holds a
// service's lock file open.
bool holdsInstanceLock(int pid);

} // namespace zplatform
