#include "live_objects.h"

#include <QPointer>

#include "backends.h"
#include "bb/system/InvokeManager.h"

namespace zplatform {
namespace live {

namespace {
struct Registry {
    QList<bb::system::InvokeManager *> invokeManagers;
    QList<NetworkConfigurationManager *> networkManagers;
    QList<bb::platform::NotificationDialog *> dialogs;
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
    if (r.invokeManagers.size() == 1)
        firstInvokeManagerAdded(manager);
}

void removeInvokeManager(bb::system::InvokeManager *manager)
{
    Registry &r = registry();
    if (r.invokeManagers.removeAll(manager) > 0 && r.invokeManagers.isEmpty())
        lastInvokeManagerRemoved();
}

QList<bb::system::InvokeManager *> invokeManagers()
{
    return registry().invokeManagers;
}

bool deliverInvocation(const bb::system::InvokeRequest &request)
{
    QList<QPointer<bb::system::InvokeManager>> managers;
    for (bb::system::InvokeManager *m : registry().invokeManagers)
        managers.append(m);
    // A slot may delete another manager; the guards skip it.
    for (const QPointer<bb::system::InvokeManager> &m : managers) {
        if (m)
            emit m->invoked(request);
    }
    return !managers.isEmpty();
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
