#pragma once
// What the service and the UI application agree on: the name the user knows
// it by, and how the UI is asked to come forward.

#include <QString>

#include "bb/system/InvokeRequest.h"
#include "zunaro/identity.h"

namespace uiapp {

inline const QString kNotificationTitle = zplatform::identity::kAppName;

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
