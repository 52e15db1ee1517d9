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
        backend.backendWanted = false;
        tickTimer->stop();
        tail.eventsTailTimer->stop();
        if (backend.backendPid > 0)
            stopBackend();
        cancelTgpushPoll();
        dropPendingSummary();
        summary.lastNotifyPostMs = 0;
        clearHubSummaryState();
        bb::platform::Notification::deleteFromInbox(hubsummary::kSummaryKey);
        if (push.tgpushSinceDirty)
            flushTgpushSince(true);
    } else if (action == kStartAction) {
        serviceActive = true;
        backend.backendWanted = false;
        if (backend.backendPid > 0)
            stopBackend();
        dropPendingSummary();
        clearHubSummaryState();
        bb::platform::Notification::deleteFromInbox(hubsummary::kSummaryKey);
        if (!push.tgpushMode) {
            startUnlessActive(tickTimer);
        } else {
            push.tgpushBackoffMs = 0;
            startUnlessActive(tail.eventsTailTimer);
            if (serviceActive && push.tgpushMode && !tgpushPollInFlight() && !uiAliveRecent)
                scheduleTgpushPoll(0);
        }
    } else if (action == kSystemStartedAction) {
        serviceActive = true;
        if (!push.tgpushMode) {
            startUnlessActive(tickTimer);
        } else {
            startUnlessActive(tail.eventsTailTimer);
            if (!tgpushPollInFlight() && !uiAliveRecent)
                scheduleTgpushPoll(0);
        }
    }
}
