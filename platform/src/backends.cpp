#include "backends.h"

#include <QNetworkInformation>

#include "desktop/application_open.h"
#include "desktop/lock_logind.h"
#include "desktop/notifications_fdo.h"
#include "desktop/service_bus.h"
#include "desktop/user_command_socket.h"
#include "embedded/command_port.h"
#include "embedded/control_server.h"
#include "embedded/hub_files.h"
#include "embedded/invocations_file.h"
#include "embedded/lock_file.h"

namespace zplatform {

Backends makeBackends(PlatformKind kind)
{
    Backends b;
    switch (kind) {
    case PlatformKind::Embedded:
        b.invoker = std::make_unique<InvocationsFile>();
        b.hub = makeHubFilesCarrier();
        b.lock = std::make_unique<LockFile>();
        b.entrance = std::make_unique<ControlEntrance>(*b.hub);
        b.loadNetwork = [] { return QNetworkInformation::loadDefaultBackend(); };
        break;
    case PlatformKind::Desktop:
        b.invoker = std::make_unique<ApplicationOpener>();
        b.hub = makeNotificationsFdoCarrier(*b.invoker);
        b.lock = makeLogindLockSource();
        b.entrance = std::make_unique<SessionEntrance>();
        // NetworkManager may not run on a desktop; the glib backend answers
        // there, and loadDefaultBackend() would try NetworkManager alone.
        b.loadNetwork = [] {
            return QNetworkInformation::loadBackendByFeatures(QNetworkInformation::Feature::Reachability);
        };
        break;
    }
    return b;
}

CommandChannel commandChannelFor(PlatformKind kind)
{
    switch (kind) {
    case PlatformKind::Embedded:
        return {openCommandPort, sendToCommandPort};
    case PlatformKind::Desktop:
        break;
    }
    return {openUserCommandSocket, sendToUserCommandSocket};
}

CommandChannel commandChannel()
{
    return commandChannelFor(platformKind());
}

Backends &backends()
{
    static Backends chosen = makeBackends(platformKind());
    return chosen;
}

} // namespace zplatform
