#pragma once
// The one factory: every backend of a platform, picked together once.

#include <functional>
#include <memory>
#include <optional>

#include "internal/backend_api.h"
#include "zunaro/command_socket.h"
#include "zunaro/platform.h"

namespace zplatform {

struct Backends {
    std::unique_ptr<Invoker> invoker;
    std::unique_ptr<HubCarrier> hub;
    std::unique_ptr<LockSource> lock;
    std::unique_ptr<Entrance> entrance;
    // Follows the device's online state, each change told through
    // reportOnline. Gives the state to take now when it starts following a
    // source (the first time, and for a device root of its own), else none.
    std::function<std::optional<bool>()> followOnline;
};

Backends makeBackends(PlatformKind kind);

// The command socket, apart from the rest because zunaroctl sends through it
// without the Hub, the lock and the bus name that come with the backends.
struct CommandChannel {
    CommandSocket (*open)();
    bool (*send)(const QByteArray &datagram, QString *error);
};
CommandChannel commandChannelFor(PlatformKind kind);
// The channel of the platform chosen at start.
CommandChannel commandChannel();

// The backends of the platform chosen at start, made at the first use.
Backends &backends();

inline HubCarrier &hubCarrier()
{
    return *backends().hub;
}

inline bool sendInvocation(const bb::system::InvokeRequest &request, const QString &by, InvocationDone done)
{
    return backends().invoker->send(request, by, std::move(done));
}

} // namespace zplatform
