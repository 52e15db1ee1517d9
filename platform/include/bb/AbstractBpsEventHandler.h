#pragma once
// Receives the platform's events (bps) of the domains it subscribes to, on
// the event-loop thread, as they happen.

#include "bps/bps.h"

namespace bb {

class AbstractBpsEventHandler
{
public:
    AbstractBpsEventHandler();
    virtual ~AbstractBpsEventHandler();

    void subscribe(int domain);
    virtual void event(bps_event_t *event) = 0;
};

} // namespace bb
