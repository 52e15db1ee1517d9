#pragma once
// The platform event service and the device state it reports.

#define BPS_SUCCESS 0
#define BPS_FAILURE (-1)

int bps_initialize();
void bps_shutdown();

// One event of a domain, alive while a handler looks at it.
typedef struct bps_event_t bps_event_t;
int bps_event_get_domain(bps_event_t *event);
unsigned int bps_event_get_code(bps_event_t *event);

// 0 unlocked, 1 or 2 locked, -1 when the state cannot be read.
int navigator_get_device_lock_state();

// The navigator's events: NAVIGATOR_DEVICE_LOCK_STATE whenever the lock
// state changes, carrying the new state.
int navigator_get_domain();
#define NAVIGATOR_DEVICE_LOCK_STATE 0x1a
int navigator_event_get_device_lock_state(bps_event_t *event);
