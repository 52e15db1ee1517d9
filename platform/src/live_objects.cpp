#include "live_objects.h"

#include <memory>

#include "control_server.h"

namespace zplatform {
namespace live {

namespace {
struct Registry {
    QList<bb::system::InvokeManager *> invokeManagers;
    QList<NetworkConfigurationManager *> networkManagers;
    QList<bb::platform::NotificationDialog *> dialogs;
    std::unique_ptr<ControlServer> controlServer;
};

Registry &registry()
{
    static Registry r;
    return r;
}
} // namespace

void addInvokeManager(bb::system::InvokeManager *manager)
{
    Registry &r = registry();
    r.invokeManagers.append(manager);
    if (!r.controlServer)
        r.controlServer = ControlServer::open();
}

void removeInvokeManager(bb::system::InvokeManager *manager)
{
    Registry &r = registry();
    r.invokeManagers.removeAll(manager);
    if (r.invokeManagers.isEmpty())
        r.controlServer.reset();
}

QList<bb::system::InvokeManager *> invokeManagers()
{
    return registry().invokeManagers;
}

void addNetworkManager(NetworkConfigurationManager *manager)
{
    registry().networkManagers.append(manager);
}

void removeNetworkManager(NetworkConfigurationManager *manager)
{
    registry().networkManagers.removeAll(manager);
}

QList<NetworkConfigurationManager *> networkManagers()
{
    return registry().networkManagers;
}

void dialogShown(bb::platform::NotificationDialog *dialog)
{
    Registry &r = registry();
    r.dialogs.removeAll(dialog);
    r.dialogs.append(dialog);
}

void dialogClosed(bb::platform::NotificationDialog *dialog)
{
    registry().dialogs.removeAll(dialog);
}

bb::platform::NotificationDialog *dialogOnTop()
{
    const Registry &r = registry();
    return r.dialogs.isEmpty() ? nullptr : r.dialogs.last();
}

} // namespace live
} // namespace zplatform
