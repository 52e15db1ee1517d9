#pragma once
// What the service and the UI application agree on: the name the user knows
// it by, and how the UI is asked to come forward.

#include <QString>

#include "bb/system/InvokeRequest.h"
#include "zunaro/identity.h"

namespace uiapp {

inline const QString kNotificationTitle = zplatform::identity::kAppName;

// The invocations the service answers to: the UI's start and stop, and the
// platform's word that the device has started. zunaroctl names them too.
inline const QString kStartAction = QStringLiteral("com.kvel.zunaro.service.START");
inline const QString kStopAction = QStringLiteral("com.kvel.zunaro.service.STOP");
inline const QString kSystemStartedAction = QStringLiteral("bb.action.system.STARTED");

// A request that starts the UI, or brings it forward, showing `uri`.
inline bb::system::InvokeRequest startRequest(const QString &uri)
{
    bb::system::InvokeRequest request;
    request.setTarget(zplatform::identity::kUiAppId);
    request.setAction(QStringLiteral("bb.action.START"));
    request.setUri(uri);
    return request;
}

} // namespace uiapp
