#pragma once
// The one source of the device's online state that every
// NetworkConfigurationManager answers from; it lives in network.cpp beside
// the managers.

#include <functional>
#include <optional>

namespace zplatform {

// The state last told.
bool onlineState();

// Follows the platform's source, taking its state when it starts following
// one; each manager asks, so a service in a device of its own reads that
// device's state.
void followOnlineState();

// A new state from the platform's source or the control socket; the
// managers are told only when it changes.
void reportOnline(bool online);

// The desktop's source: QNetworkInformation from the backend `load` loads,
// once per process (loading costs a plugin scan and a D-Bus probe).
std::optional<bool> followNetworkInformation(const std::function<bool()> &load);

} // namespace zplatform
