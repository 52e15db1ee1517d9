#include "zunaro/network.h"

#include "live_objects.h"
#include "online_state.h"

namespace zplatform {

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
