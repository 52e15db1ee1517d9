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
#include "embedded/state_file.h"
#include "internal/online_state.h"
#include "internal/state_parse.h"
#include "zunaro/device.h"

namespace zplatform {

namespace {
// The device's own file: no network plugin, no bus, no thread of its own.
std::function<std::optional<bool>()> followOnlineFile()
{
    const auto file = std::make_shared<WatchedStateFile>(
        QStringLiteral("online_state"), kMaxOnlineStateBytes,
        [](SmallFile result, const QByteArray &content) {
            return result == SmallFile::Read ? int(onlineFromContent(content)) : 1;
        });
    QObject::connect(file.get(), &WatchedStateFile::changed, file.get(), [](int state) { reportOnline(state != 0); });
    return [file]() -> std::optional<bool> {
        if (!file->start())
            return std::nullopt;
        return file->state() != 0;
    };
}
} // namespace

Backends makeBackends(PlatformKind kind)
{
    Backends b;
    switch (kind) {
    case PlatformKind::Embedded:
        b.invoker = std::make_unique<InvocationsFile>();
        b.hub = makeHubFilesCarrier();
        b.lock = std::make_unique<LockFile>();
        b.entrance = std::make_unique<ControlEntrance>(*b.hub);
        b.followOnline = followOnlineFile();
        break;
    case PlatformKind::Desktop:
        b.invoker = std::make_unique<ApplicationOpener>();
        b.hub = makeNotificationsFdoCarrier(*b.invoker);
        b.lock = makeLogindLockSource();
        b.entrance = std::make_unique<SessionEntrance>();
        // NetworkManager may not run on a desktop; the glib backend answers
        // there, and loadDefaultBackend() would try NetworkManager alone.
        b.followOnline = [] {
            return followNetworkInformation(
                [] { return QNetworkInformation::loadBackendByFeatures(QNetworkInformation::Feature::Reachability); });
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

// The command socket of the platform that runs, for the service and for
// zunaroctl.
CommandSocket openCommandSocket()
{
    return commandChannel().open();
}

bool sendCommandDatagram(const QByteArray &datagram, QString *error)
{
    if (datagram.size() > kMaxCommandDatagramBytes) {
        *error = QStringLiteral("%1 bytes do not fit one command datagram (at most %2)")
                     .arg(datagram.size())
                     .arg(kMaxCommandDatagramBytes);
        return false;
    }
    return commandChannel().send(datagram, error);
}

Backends &backends()
{
    static Backends chosen = makeBackends(platformKind());
    return chosen;
}

} // namespace zplatform
