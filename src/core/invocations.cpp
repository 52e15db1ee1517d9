// Start, stop and system-started invocations, and the slots that only
// forward to the work of their subsystem.

#include "service_main.h"

#include <QTimer>

#include "bb/platform/Notification.h"
#include "core/ui_app.h"
#include "events/summary_logic.h"
#include "zunaro/device.h"
#include "zunaro/log.h"

namespace {
using uiapp::kStartAction;
using uiapp::kStopAction;
using uiapp::kSystemStartedAction;

void startUnlessActive(QTimer *timer)
{
    // A running timer keeps its phase.
    if (!timer->isActive())
        timer->start();
}
} // namespace

void ZunaroHeadlessService::onInvoked(bb::system::InvokeRequest request)
{
    const QString action = request.action();
    // Any session peer may name the action.
    zplatform::logLine("service: invoked action=%s\n", zplatform::logText(action).constData());

    if (action == kStopAction) {
        if (serviceActive)
            serviceStoppedMs = zplatform::nowMs();
        serviceActive = false;
        backendWanted = false;
        tickTimer->stop();
        eventsTailTimer->stop();
        if (backendPid > 0)
            stopBackend();
        cancelTgpushPoll();
        dropPendingSummary();
        lastNotifyPostMs = 0;
        clearHubSummaryState();
        bb::platform::Notification::deleteFromInbox(hubsummary::kSummaryKey);
        if (tgpushSinceDirty)
            flushTgpushSince(true);
    } else if (action == kStartAction) {
        serviceActive = true;
        backendWanted = false;
        if (backendPid > 0)
            stopBackend();
        dropPendingSummary();
        clearHubSummaryState();
        bb::platform::Notification::deleteFromInbox(hubsummary::kSummaryKey);
        if (!tgpushMode) {
            startUnlessActive(tickTimer);
        } else {
            tgpushBackoffMs = 0;
            startUnlessActive(eventsTailTimer);
            if (serviceActive && tgpushMode && !tgpushPollInFlight() && !uiAliveRecent)
                scheduleTgpushPoll(0);
        }
    } else if (action == kSystemStartedAction) {
        serviceActive = true;
        if (!tgpushMode) {
            startUnlessActive(tickTimer);
        } else {
            startUnlessActive(eventsTailTimer);
            if (!tgpushPollInFlight() && !uiAliveRecent)
                scheduleTgpushPoll(0);
        }
    }
}

void ZunaroHeadlessService::onCmdSocketActivated(int)
{
    drainCmdSocket();
}

void ZunaroHeadlessService::onEventsTailTick()
{
    if (serviceActive && tgpushMode)
        onTick();
}

void ZunaroHeadlessService::onTgpushTick()
{
    pollTgpushMaybe();
}

void ZunaroHeadlessService::onTgpushNotifyTimer()
{
    postPendingTgpushNotification(true);
}

void ZunaroHeadlessService::startBackendAttempt()
{
    startBackend();
    wakeTick();
}
