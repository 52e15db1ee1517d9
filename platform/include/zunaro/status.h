#pragma once
// What the service reports about itself to people and tools. The service
// registers a provider; the platform answers status queries with it (the
// desktop platform's Status() on the session bus, the embedded platform's
// status request on the control socket) and adds its own state.

#include <QObject>
#include <QString>
#include <QVariantMap>

#include <functional>

namespace zplatform {

// `owner` ends the registration when it is destroyed. The registration marks
// the service's start ("started_ms").
void setStatusProvider(QObject *owner, std::function<QVariantMap()> provider);

// The provider's snapshot plus the version, the start time and the
// platform's lock and online state.
QVariantMap statusSnapshot();

// One "key=value" line a key, in key order, true and false as 1 and 0: for
// scripts, which read today's keys and must keep reading them.
QString statusLines(const QVariantMap &status);

} // namespace zplatform
