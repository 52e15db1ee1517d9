#include "hub_carrier.h"

#include "backends.h"

namespace zplatform {

HubCarrier &hubCarrier()
{
    static const std::unique_ptr<HubCarrier> carrier = makeHubCarrier();
    return *carrier;
}

} // namespace zplatform
