// The Hub entry for a ringing call: still there after a call that rang on a
// locked device, and it opens the UI on the call.

#include "service_main.h"

#include "bb/platform/Notification.h"
#include "calls/call_logic.h"
#include "core/ui_app.h"
#include "zunaro/device.h"
#include "zunaro/log.h"

void ZunaroHeadlessService::postIncomingCallNotification(qint64 callId, qint64 chatId, qint64 userId,
                                                         const QString &userName)
{
    if (isUiRunningActive()) {
        zplatform::logLine("service: hub notify(call) suppressed (UI active)\n");
        return;
    }

    // One call entry at a time: the newest call replaces the previous one.
    bb::platform::Notification::deleteFromInbox(calls::kCallNotificationKey);
    calls.callEntryCallId = callId;

    bb::platform::Notification notification(calls::kCallNotificationKey);
    notification.setType(bb::platform::NotificationType::Default);
    notification.setCategory(bb::platform::NotificationCategory::IncomingCall);
    notification.setTitle(uiapp::kNotificationTitle);
    notification.setBody(calls::callBody(userName));
    notification.setTimestamp(zplatform::now());

    if (chatId > 0)
        writeHubOpenRequest(QStringLiteral("chat"), chatId, QStringLiteral("call"));
    else
        writeHubOpenRequest(QStringLiteral("chats"), 0, QStringLiteral("call"));

    notification.setInvokeRequest(calls::uiRequest(calls::callUri(callId, chatId, userId)));
    const int err = notification.notify();
    zplatform::logLine("service: notify(call) err=%d key=%s call_id=%lld\n", err,
                      notification.key().toUtf8().constData(), callId);
}
