#pragma once
// The one place that picks, for each platform service, the implementation
// of the platform that runs: files under the device root, or the session's
// freedesktop services.

#include <QString>

#include <functional>
#include <memory>

#include "bb/system/InvokeRequest.h"

namespace bb {
namespace system {
class InvokeManager;
}
} // namespace bb

namespace zplatform {

class HubCarrier;

std::unique_ptr<HubCarrier> makeHubCarrier();

// Sends an invocation on behalf of `by` ("service" or "user"). False when it
// could not be sent at all; otherwise `done` (if any) is called on a later
// turn of the event loop with an empty error on success.
using InvocationDone = std::function<void(const QString &error)>;
bool sendInvocation(const bb::system::InvokeRequest &request, const QString &by, InvocationDone done);

// 0 unlocked, 1 or 2 locked, -1 unknown.
int deviceLockState();
// Starts following the lock state ahead of the first question.
void startLockState();

// Loads the QNetworkInformation backend this platform reads; false when none.
bool loadNetworkBackend();

// The first InvokeManager of the process appeared or the last one went: the
// embedded platform opens or closes its control socket, the desktop one
// announces the start of the system once.
void firstInvokeManagerAdded(bb::system::InvokeManager *manager);
void lastInvokeManagerRemoved();

} // namespace zplatform
