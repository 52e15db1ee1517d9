// Bringing the UI to the call screen.

#include "service_main.h"

#include "calls/call_logic.h"
#include "zunaro/device.h"
#include "zunaro/log.h"

namespace {
// A reply is handed over to the caller and nobody else keeps it: release it
// once it has finished, so a service that runs for months does not collect
// one object per ring. Parenting it to the service also releases a reply
// that is still outstanding when the service goes.
void releaseWhenFinished(bb::system::InvokeTargetReply *reply, QObject *owner)
{
    reply->setParent(owner);
    if (reply->isFinished()) {
        reply->deleteLater();
        return;
    }
    QObject::connect(reply, &bb::system::InvokeTargetReply::finished, reply, &QObject::deleteLater);
}
} // namespace

void ZunaroHeadlessService::bringUiToForegroundForIncomingCall(qint64 callId, qint64 chatId,
                                                               qint64 userId)
{
    const bool uiActive = isUiRunningActive();
    zplatform::logLine("service: incoming call invoke attempt call_id=%lld chat_id=%lld user_id=%lld "
                      "ui_active=%d\n",
                      callId, chatId, userId, uiActive ? 1 : 0);
    if (uiActive)
        return;

    const qint64 nowMs = zplatform::nowMs();
    if (calls::isDuplicateInvoke(callId, calls.lastCallInvokeCallId, calls.lastCallInvokeMs, nowMs))
        return;
    calls.lastCallInvokeCallId = callId;
    calls.lastCallInvokeMs = nowMs;

    if (chatId > 0)
        writeHubOpenRequest(QStringLiteral("chat"), chatId, QStringLiteral("call"));
    const QString uri = calls::callUri(callId, chatId, userId);

    bb::system::InvokeTargetReply *reply = invokeManager->invoke(calls::uiRequest(uri));
    if (!reply) {
        zplatform::logLine("service: invoke(call) returned null reply\n");
        return;
    }
    reply->setProperty("invoke_stage", QStringLiteral("bound"));
    reply->setProperty("call_id", callId);
    reply->setProperty("chat_id", chatId);
    reply->setProperty("user_id", userId);
    reply->setProperty("invoke_uri", uri);
    releaseWhenFinished(reply, this);
}
