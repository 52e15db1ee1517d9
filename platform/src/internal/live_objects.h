#pragma once
// The platform objects the service holds right now, so that what arrives
// from outside (control socket, online changes) reaches them. The control
// socket lives exactly as long as some InvokeManager does.

#include <QList>

#include "bb/system/InvokeRequest.h"

namespace bb {
namespace system {
class InvokeManager;
}
} // namespace bb

namespace zplatform {

class NetworkConfigurationManager;

namespace live {

// True for the first manager to come and the last to go.
bool addInvokeManager(bb::system::InvokeManager *manager);
bool removeInvokeManager(bb::system::InvokeManager *manager);
QList<bb::system::InvokeManager *> invokeManagers();
// Emits invoked(request) on every manager; false when there is none.
bool deliverInvocation(const bb::system::InvokeRequest &request);

void addNetworkManager(NetworkConfigurationManager *manager);
void removeNetworkManager(NetworkConfigurationManager *manager);
QList<NetworkConfigurationManager *> networkManagers();

} // namespace live
} // namespace zplatform
