// The timing of the one summary notification, for every source of news:
// the push poll, new messages and unread increases from the backend.
// The "Tgpush" in the member names is historical: push mode had the timer first.

#include "events/notify_timing.h"

#include <QTimer>

#include <algorithm>

#include "service_main.h"
#include "zunaro/device.h"

namespace notifytiming {

int dueDelayMs(qint64 nowMs, int coalesceMs, int minIntervalMs, qint64 lastPostMs)
{
    qint64 due = nowMs + std::max(coalesceMs, 0);
    if (minIntervalMs > 0 && lastPostMs > 0)
        due = std::max(due, lastPostMs + minIntervalMs);
    return int(std::clamp<qint64>(due - nowMs, 0, kMaxDelayMs));
}

bool withinMinInterval(qint64 nowMs, int minIntervalMs, qint64 lastPostMs)
{
    return minIntervalMs > 0 && lastPostMs > 0 && nowMs < lastPostMs + minIntervalMs;
}

bool waitForLines(bool uiAlive, bool namesChats, bool hasLines, qint64 pendingSinceMs, qint64 nowMs,
                  int linesWaitMs)
{
    if (!uiAlive || !namesChats || hasLines || pendingSinceMs <= 0)
        return false;
    return std::max<qint64>(nowMs - pendingSinceMs, 0) < linesWaitMs;
}

} // namespace notifytiming

void ZunaroHeadlessService::setUpSummary()
{
    summary.tgpushNotifyTimer = new QTimer(this);
    summary.tgpushNotifyTimer->setSingleShot(true);
    connect(summary.tgpushNotifyTimer, &QTimer::timeout, this, &ZunaroHeadlessService::onTgpushNotifyTimer);
}

void ZunaroHeadlessService::enqueueTgpushNotification(int count)
{
    if (!serviceActive || count < 1)
        return;
    summary.pendingNotifyCount += quint64(count);
    if (summary.pendingNotifySinceMs == 0)
        summary.pendingNotifySinceMs = zplatform::nowMs();
    schedulePendingTgpushNotification();
}

void ZunaroHeadlessService::schedulePendingTgpushNotification()
{
    if (!serviceActive || summary.pendingNotifyCount == 0)
        return;
    // Later items join the window the first one opened; they never prolong it.
    if (summary.tgpushNotifyTimer->isActive())
        return;
    summary.tgpushNotifyTimer->start(notifytiming::dueDelayMs(zplatform::nowMs(), summary.notifyCoalesceMs,
                                                      summary.notifyMinIntervalMs, summary.lastNotifyPostMs));
}

void ZunaroHeadlessService::postPendingTgpushNotification(bool force)
{
    if (!force && summary.tgpushNotifyTimer->isActive())
        return;
    if (!serviceActive) {
        dropPendingSummary();
        return;
    }
    if (summary.pendingNotifyCount == 0) {
        summary.tgpushNotifyTimer->stop();
        return;
    }
    const qint64 now = zplatform::nowMs();
    if (notifytiming::withinMinInterval(now, summary.notifyMinIntervalMs, summary.lastNotifyPostMs)) {
        schedulePendingTgpushNotification();
        return;
    }
    const bool namesChats = (!summary.hubUnreadCounts.isEmpty() && summary.hubUnreadTotal != 0) || !summary.hubSummaryChatIds.isEmpty();
    if (notifytiming::waitForLines(uiAliveRecent, namesChats, !summary.hubSummaryLines.isEmpty(),
                                   summary.pendingNotifySinceMs, now, summary.notifyLinesWaitMs)) {
        summary.tgpushNotifyTimer->stop();
        summary.tgpushNotifyTimer->start(notifytiming::kLinesRecheckMs);
        return;
    }
    postHubSummary(now);
}

void ZunaroHeadlessService::dropPendingSummary()
{
    noteTgpushNewsShown();
    summary.pendingNotifyCount = 0;
    summary.pendingNotifySinceMs = 0;
    summary.tgpushNotifyTimer->stop();
}

void ZunaroHeadlessService::onTgpushNotifyTimer()
{
    postPendingTgpushNotification(true);
}
