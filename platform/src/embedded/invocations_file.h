#pragma once

#include <QJsonObject>
#include <QString>

#include "bb/system/InvokeRequest.h"

namespace zplatform {

QJsonObject invokeRequestToJson(const bb::system::InvokeRequest &request);

// Appends the request to invocations.jsonl; `by` is "service" or "user".
bool recordInvocation(const bb::system::InvokeRequest &request, const QString &by);

} // namespace zplatform
