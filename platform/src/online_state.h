#pragma once
// The one source of the device's online state that every
// NetworkConfigurationManager answers from.

namespace zplatform {

// Starts from QNetworkInformation the first time it is asked (once per
// process: loading the backend costs a plugin scan and a D-Bus probe).
bool onlineState();

// A new state from QNetworkInformation or the control socket; the managers
// are told only when it changes.
void reportOnline(bool online);

} // namespace zplatform
