#include "zunaro/network.h"

#include <QCoreApplication>
#include <QNetworkInformation>
#include <QPointer>

#include "backends.h"
#include "internal/live_objects.h"
#include "internal/online_state.h"
#include "internal/state_parse.h"

namespace zplatform {

namespace {
bool online = true;
} // namespace

bool onlineState()
{
    return online;
}

void followOnlineState()
{
    if (!QCoreApplication::instance())
        return;
    if (const std::optional<bool> now = backends().followOnline())
        reportOnline(*now);
}

std::optional<bool> followNetworkInformation(const std::function<bool()> &load)
{
    static bool loaded = false;
    if (std::exchange(loaded, true) || !load())
        return std::nullopt;
    QNetworkInformation *info = QNetworkInformation::instance();
    QObject::connect(info, &QNetworkInformation::reachabilityChanged, info,
                     [](QNetworkInformation::Reachability r) { reportOnline(onlineFromReachability(r)); });
    return onlineFromReachability(info->reachability());
}

void reportOnline(bool state)
{
    if (online == state)
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


NetworkConfigurationManager::NetworkConfigurationManager(QObject *parent)
    : QObject(parent)
{
    // Start listening for changes now, not at the first question.
    followOnlineState();
    live::addNetworkManager(this);
}

NetworkConfigurationManager::~NetworkConfigurationManager()
{
    live::removeNetworkManager(this);
}

bool NetworkConfigurationManager::isOnline() const
{
    return onlineState();
}

} // namespace zplatform
