#pragma once
// Invocations on a desktop: the target is the desktop ID of an application,
// opened through org.freedesktop.Application on the session bus (the bus
// starts it when it is D-Bus activatable), or through xdg-open when nothing
// on the bus answers to that name.

#include <QString>
#include <QVariantMap>

#include <functional>

#include "internal/backend_api.h"
#include "bb/system/InvokeRequest.h"

namespace zplatform {

// Calls `done` on a later turn with an empty error on success.
void openApplication(const bb::system::InvokeRequest &request, std::function<void(const QString &)> done);

class ApplicationOpener : public Invoker
{
public:
    bool send(const bb::system::InvokeRequest &request, const QString &, InvocationDone done) override
    {
        openApplication(request, std::move(done));
        return true;
    }
};

// Pure helpers: the application's object path from its desktop ID
// ("com.kvel.zunaro" -> "/com/kvel/zunaro"), and the platform data from the
// activation variables of the environment.
QString applicationObjectPath(const QString &desktopId);
QVariantMap activationPlatformData(const QString &activationToken, const QString &startupId);

} // namespace zplatform
