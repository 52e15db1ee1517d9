#pragma once
// Invocations on the embedded platform: each one a line of
// <device root>/platform/invocations.jsonl, where the user, the demo and the
// tests read what the service asked the device to open.

#include <QJsonObject>
#include <QString>

#include "internal/backend_api.h"
#include "bb/system/InvokeRequest.h"

namespace zplatform {

QJsonObject invokeRequestToJson(const bb::system::InvokeRequest &request);

// Appends the request to invocations.jsonl; `by` is "service" or "user".
bool recordInvocation(const bb::system::InvokeRequest &request, const QString &by);

class InvocationsFile : public Invoker
{
public:
    bool send(const bb::system::InvokeRequest &request, const QString &by, InvocationDone done) override;
};

} // namespace zplatform
