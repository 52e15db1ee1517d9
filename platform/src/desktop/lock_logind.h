#pragma once
// The lock state of a desktop session: logind's LockedHint of the user's
// session on the system bus, else the screensaver's active state on the
// session bus. Followed through signals; a question never waits on the bus.

#include <memory>

#include "internal/backend_api.h"

namespace zplatform {

// 1 locked, 0 unlocked, -1 while no source has answered; changed() on every
// change. start() or the first question starts following the state.
std::unique_ptr<LockSource> makeLogindLockSource();

} // namespace zplatform
