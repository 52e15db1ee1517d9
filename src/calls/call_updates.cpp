// What a call update means for the service: ring now, wait for the device to
// be unlocked, or stop ringing.

#include "service_main.h"

#include <QTimer>

#include "bb/platform/Notification.h"
#include "bps/bps.h"
#include "calls/call_logic.h"
#include "zunaro/device.h"
#include "zunaro/log.h"

void ZunaroHeadlessService::setUpCalls()
{
    calls.pendingCallInvokeTimer = new QTimer(this);
    calls.pendingCallInvokeTimer->setInterval(1000);
    calls.pendingCallInvokeTimer->setSingleShot(false);
    connect(calls.pendingCallInvokeTimer, &QTimer::timeout, this,
            &ZunaroHeadlessService::onPendingIncomingCallInvokeTick);
}

void ZunaroHeadlessService::handleCallUpdate(const calls::CallUpdate &u)
{
    const bool uiActive = isUiRunningActive();

    const QByteArray state = calls::loggable(u.state, calls::kLoggedTextMaxChars);
    if (u.code == 0 && u.message.isEmpty()) {
        zplatform::logLine("service: call_update call_id=%lld chat_id=%lld user_id=%lld outgoing=%d "
                          "state=%s ui_active=%d\n",
                          u.callId, u.chatId, u.userId, u.outgoing ? 1 : 0, state.constData(),
                          uiActive ? 1 : 0);
    } else {
        zplatform::logLine("service: call_update call_id=%lld chat_id=%lld user_id=%lld outgoing=%d "
                          "state=%s ui_active=%d code=%d msg=%s\n",
                          u.callId, u.chatId, u.userId, u.outgoing ? 1 : 0, state.constData(),
                          uiActive ? 1 : 0, u.code,
                          calls::loggable(u.message, calls::kLoggedTextMaxChars).constData());
    }

    if (u.outgoing)
        return;

    switch (calls::phaseOf(u.state)) {
    case calls::Phase::Ringing: {
        // Recorded even while the UI is in front, so that a late repeat of
        // an older call never takes the screen from a newer one.
        if (!calls::noteRinging(calls.ringingCalls, u.callId, zplatform::nowMs()) || uiActive)
            return;
        const int lockState = navigator_get_device_lock_state();
        const bool locked = calls::lockedAtRinging(lockState);
        zplatform::logLine("service: incoming call device_lock_state=%d locked=%d\n", lockState,
                          locked ? 1 : 0);
        postIncomingCallNotification(u.callId, u.chatId, u.userId, u.displayName);
        if (!locked) {
            showIncomingCallDialog(u.callId, u.chatId, u.userId, u.displayName);
            bringUiToForegroundForIncomingCall(u.callId, u.chatId, u.userId);
        } else if (u.callId > 0) {
            // A ringing update without a usable call id could never be
            // invoked; letting it replace the waiting call would lose that one.
            calls.pendingCallId = u.callId;
            calls.pendingCallChatId = u.chatId;
            calls.pendingCallUserId = u.userId;
            calls.pendingCallSinceMs = zplatform::nowMs();
            if (!calls.pendingCallInvokeTimer->isActive())
                calls.pendingCallInvokeTimer->start();
        }
        return;
    }
    case calls::Phase::Ended:
        calls.ringingCalls.removeIf([&u](const QPair<qint64, qint64> &c) { return c.first == u.callId; });
        if (u.callId == calls.incomingCallDialogCallId)
            dismissIncomingCallDialog();
        if (u.callId == calls.pendingCallId)
            clearPendingIncomingCall();
        // The one entry may already show a newer call that still rings.
        if (!calls.callEntryCallId || *calls.callEntryCallId == u.callId) {
            bb::platform::Notification::deleteFromInbox(calls::kCallNotificationKey);
            calls.callEntryCallId.reset();
        }
        return;
    case calls::Phase::Other:
        return;
    }
}

void ZunaroHeadlessService::clearPendingIncomingCall()
{
    calls.pendingCallId = 0;
    calls.pendingCallChatId = 0;
    calls.pendingCallUserId = 0;
    calls.pendingCallSinceMs = 0;
    if (calls.pendingCallInvokeTimer->isActive())
        calls.pendingCallInvokeTimer->stop();
}

void ZunaroHeadlessService::onPendingIncomingCallInvokeTick()
{
    if (calls.pendingCallId < 1) {
        if (calls.pendingCallInvokeTimer->isActive())
            calls.pendingCallInvokeTimer->stop();
        return;
    }
    if (isUiRunningActive()) {
        clearPendingIncomingCall();
        return;
    }
    if (calls::pendingTimedOut(calls.pendingCallSinceMs, zplatform::nowMs())) {
        zplatform::logLine("service: pending incoming call invoke timeout call_id=%lld\n", calls.pendingCallId);
        clearPendingIncomingCall();
        return;
    }
    if (!calls::unlockedWhilePending(navigator_get_device_lock_state()))
        return;

    zplatform::logLine("service: device unlocked -> invoke pending incoming call call_id=%lld\n",
                      calls.pendingCallId);
    bringUiToForegroundForIncomingCall(calls.pendingCallId, calls.pendingCallChatId, calls.pendingCallUserId);
    clearPendingIncomingCall();
}

void ZunaroHeadlessService::event(bps_event_t *event)
{
    if (bps_event_get_domain(event) != navigator_get_domain()
        || bps_event_get_code(event) != NAVIGATOR_DEVICE_LOCK_STATE)
        return;
    if (calls.pendingCallId > 0 && calls::unlockedWhilePending(navigator_event_get_device_lock_state(event))) {
        onPendingIncomingCallInvokeTick();
        wakeTick();
    }
}
