#pragma once
// The platform event service and the device state it reports.

#define BPS_SUCCESS 0
#define BPS_FAILURE (-1)

int bps_initialize();
void bps_shutdown();

// 0 unlocked, 1 or 2 locked, -1 when the state cannot be read.
int navigator_get_device_lock_state();
