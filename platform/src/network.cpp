#include "zunaro/network.h"

namespace platform {

NetworkConfigurationManager::NetworkConfigurationManager(QObject *parent)
    : QObject(parent)
{
}

NetworkConfigurationManager::~NetworkConfigurationManager() = default;

bool NetworkConfigurationManager::isOnline() const
{
    return true;
}

} // namespace platform
