#include "bps/bps.h"

#include "backends.h"

int bps_initialize()
{
    // The desktop's lock state arrives over the bus: ask now, so it is known
    // by the time a call rings.
    zplatform::startLockState();
    return BPS_SUCCESS;
}

void bps_shutdown()
{
}

int navigator_get_device_lock_state()
{
    const int state = zplatform::deviceLockState();
    return state < 0 ? BPS_FAILURE : state;
}
