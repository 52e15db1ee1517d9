#include "hub_carrier.h"

namespace zplatform {

HubCarrier &hubCarrier()
{
    static const std::unique_ptr<HubCarrier> carrier = makeHubFilesCarrier();
    return *carrier;
}

} // namespace zplatform
