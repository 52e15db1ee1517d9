#include "internal/live_objects.h"

#include <QPointer>

#include "bb/system/InvokeManager.h"

namespace zplatform {
namespace live {

namespace {
struct Registry {
    QList<bb::system::InvokeManager *> invokeManagers;
    QList<NetworkConfigurationManager *> networkManagers;
};

Registry &registry()
{
    static Registry r;
    return r;
}
} // namespace

bool addInvokeManager(bb::system::InvokeManager *manager)
{
    Registry &r = registry();
    r.invokeManagers.append(manager);
    return r.invokeManagers.size() == 1;
}

bool removeInvokeManager(bb::system::InvokeManager *manager)
{
    Registry &r = registry();
    return r.invokeManagers.removeAll(manager) > 0 && r.invokeManagers.isEmpty();
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

} // namespace live
} // namespace zplatform
