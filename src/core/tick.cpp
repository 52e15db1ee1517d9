// The heartbeat: reap, follow the UI (push mode), supervise the backend,
// hand over queued commands, read new events.

#include "service_main.h"

#include <QTimer>

#include "zunaro/device.h"
#include "zunaro/log.h"

void ZunaroHeadlessService::onTick()
{
    if (backendPid > 0)
        reapBackend();

    if (tgpushMode) {
        const bool alive = isUiAliveRecent();
        if (alive != uiAliveRecent) {
            uiAliveRecent = alive;
            zplatform::logLine("service: ui_alive_recent=%d\n", alive ? 1 : 0);
            if (alive) {
                cancelTgpushPoll();
                // Nothing to summarise: the UI will show what arrived.
                if (hubSummaryMessageCount == 0 && hubUnreadTotal == 0 && hubSummaryLines.isEmpty())
                    dropPendingSummary();
            } else if (serviceActive && netOnline && !tgpushPollInFlight()) {
                scheduleTgpushPoll(0);
            }
        }
    }

    if (!serviceActive || !backendWanted) {
        stopBackend();
    } else if (backendPid <= 0 && (backendNextStartMs == 0 || zplatform::nowMs() >= backendNextStartMs)) {
        startBackend();
    }

    flushPendingBackendLines();
    tailBackendEvents();
}
