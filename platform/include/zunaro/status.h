#pragma once
// What the service reports about itself to people and tools. The service
// registers a provider; the platform answers status queries with it (the
// desktop platform's Status() on the session bus) and adds its own state.

#include <QObject>
#include <QVariantMap>

#include <functional>

namespace zplatform {

// `owner` ends the registration when it is destroyed.
void setStatusProvider(QObject *owner, std::function<QVariantMap()> provider);

// The provider's snapshot plus the platform's lock and online state.
QVariantMap statusSnapshot();

} // namespace zplatform
