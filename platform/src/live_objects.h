#pragma once
// The platform objects the service holds right now, so that what arrives
// from outside (control socket, online changes) reaches them. The control
// socket lives exactly as long as some InvokeManager does.

#include <QList>

#include "bb/system/InvokeRequest.h"

namespace bb {
namespace platform {
class NotificationDialog;
}
namespace system {
class InvokeManager;
}
} // namespace bb

namespace zplatform {

class NetworkConfigurationManager;

namespace live {

void addInvokeManager(bb::system::InvokeManager *manager);
void removeInvokeManager(bb::system::InvokeManager *manager);
QList<bb::system::InvokeManager *> invokeManagers();
// Emits invoked(request) on every manager; false when there is none.
bool deliverInvocation(const bb::system::InvokeRequest &request);

void addNetworkManager(NetworkConfigurationManager *manager);
void removeNetworkManager(NetworkConfigurationManager *manager);
QList<NetworkConfigurationManager *> networkManagers();

// Dialogs on screen, the last shown on top.
void dialogShown(bb::platform::NotificationDialog *dialog);
void dialogClosed(bb::platform::NotificationDialog *dialog);
bb::platform::NotificationDialog *dialogOnTop();

} // namespace live
} // namespace zplatform
