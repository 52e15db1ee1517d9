#pragma once
// The lock state of a desktop session: logind's LockedHint of the user's
// session on the system bus, else the screensaver's active state on the
// session bus. Followed through signals; a question never waits on the bus.

namespace zplatform {

// 1 locked, 0 unlocked, -1 while no source has answered. The first call
// starts following the state.
int desktopLockState();

} // namespace zplatform
