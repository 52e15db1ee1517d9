#include "online_state.h"

#include <QCoreApplication>
#include <QNetworkInformation>
#include <QPointer>

#include "backends.h"
#include "live_objects.h"
#include "state_parse.h"
#include "zunaro/network.h"

namespace zplatform {

namespace {
bool started = false;
bool online = true;

void start()
{
    started = true;
    if (!QCoreApplication::instance() || !backends().loadNetwork())
        return;
    QNetworkInformation *info = QNetworkInformation::instance();
    online = onlineFromReachability(info->reachability());
    QObject::connect(info, &QNetworkInformation::reachabilityChanged, info,
                     [](QNetworkInformation::Reachability r) { reportOnline(onlineFromReachability(r)); });
}
} // namespace

bool onlineState()
{
    if (!started)
        start();
    return online;
}

void reportOnline(bool state)
{
    if (onlineState() == state)
        return;
    online = state;
    QList<QPointer<NetworkConfigurationManager>> managers;
    for (NetworkConfigurationManager *m : live::networkManagers())
        managers.append(m);
    // A slot may delete another manager; the guards skip it.
    for (const QPointer<NetworkConfigurationManager> &m : managers) {
        if (m)
            emit m->onlineStateChanged(state);
    }
}

} // namespace zplatform
