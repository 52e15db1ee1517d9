// The one Hub notification that sums up new messages: what the backend
// reports is recorded here, and composed and posted when the notification
// timing says it is due.

#include "service_main.h"

#include <QTimer>

#include <algorithm>

#include "bb/platform/Notification.h"
#include "core/ui_app.h"
#include "events/summary_logic.h"
#include "zunaro/device.h"
#include "zunaro/log.h"

namespace {
constexpr qint64 kDuplicateWindowMs = 2000;
} // namespace

QString ZunaroHeadlessService::simplifyLine(const QString &text)
{
    return hubsummary::simplifyLine(text);
}

namespace {
// Past the bound a table leaves chats it does not hold yet out; the
// insertion that fills it says so.
template <typename Table>
bool hasRoomFor(const Table &table, qint64 chatId)
{
    return table.size() < hubsummary::kMaxTrackedChats || table.contains(chatId);
}

template <typename Table>
void noteIfFilled(const Table &table, qsizetype sizeBefore, const char *name)
{
    if (sizeBefore < table.size() && table.size() == hubsummary::kMaxTrackedChats)
        zplatform::logLine("service: %s full at %d chats; later chats are left out\n", name,
                          hubsummary::kMaxTrackedChats);
}
} // namespace

void ZunaroHeadlessService::enqueueHubSummaryMessage(const hubsummary::Message &message)
{
    if (!serviceActive || uiRunningForEvents())
        return;
    const qint64 chatId = message.chatId;

    ++summary.hubSummaryMessageCount;
    ++summary.pendingNotifyCount;
    if (summary.pendingNotifySinceMs == 0)
        summary.pendingNotifySinceMs = zplatform::nowMs();

    const qint64 date = message.date;
    if (date > 0 && summary.hubSummaryLatestDate < date)
        summary.hubSummaryLatestDate = date;

    if (chatId > 0) {
        const QString text = hubsummary::composeLine(message.chatTitle, message.senderName, message.text);
        if (hasRoomFor(summary.hubSummaryChatIds, chatId)) {
            const qsizetype chatsBefore = summary.hubSummaryChatIds.size();
            summary.hubSummaryChatIds.insert(chatId);
            noteIfFilled(summary.hubSummaryChatIds, chatsBefore, "summary chats");
        }
        summary.hubSummaryLines.prepend(HubSummaryLine { chatId, date, text });
        while (summary.hubSummaryLines.size() > hubsummary::kMaxStoredLines)
            summary.hubSummaryLines.removeLast();
    }

    if (serviceActive && summary.pendingNotifyCount != 0)
        schedulePendingTgpushNotification();
}

void ZunaroHeadlessService::applyChatUnread(qint64 chatId, int unreadCount)
{
    if (!serviceActive || chatId == 0)
        return;
    const int count = std::max(unreadCount, 0);
    const bool uiActive = uiRunningForEvents();
    const auto known = summary.chatUnreadCounts.constFind(chatId);
    const bool wasKnown = known != summary.chatUnreadCounts.constEnd();
    const int previous = wasKnown ? *known : 0;
    const auto entry = summary.hubUnreadCounts.constFind(chatId);
    const hubsummary::UnreadEntry before = entry != summary.hubUnreadCounts.constEnd()
        ? hubsummary::UnreadEntry { true, *entry }
        : hubsummary::UnreadEntry();
    const hubsummary::UnreadResult after =
        hubsummary::applyUnread(before, summary.hubUnreadTotal, wasKnown, previous, count, uiActive);
    // A full table takes no new chat: that chat's news is left out.
    if ((count > 0 && !hasRoomFor(summary.chatUnreadCounts, chatId))
        || (after.entry.present && !hasRoomFor(summary.hubUnreadCounts, chatId)))
        return;

    // A count of 0 is what an unknown chat reads as: it takes no entry.
    const qsizetype countsBefore = summary.chatUnreadCounts.size();
    const qsizetype newsBefore = summary.hubUnreadCounts.size();
    if (count == 0) {
        summary.chatUnreadCounts.remove(chatId);
    } else {
        summary.chatUnreadCounts.insert(chatId, count);
        noteIfFilled(summary.chatUnreadCounts, countsBefore, "unread counts");
    }
    summary.hubUnreadTotal = after.total;
    if (after.entry.present) {
        summary.hubUnreadCounts.insert(chatId, after.entry.count);
        noteIfFilled(summary.hubUnreadCounts, newsBefore, "unread news");
    } else {
        summary.hubUnreadCounts.remove(chatId);
    }
    if (after.added == 0)
        return;
    summary.pendingNotifyCount += after.added;
    if (summary.pendingNotifySinceMs == 0)
        summary.pendingNotifySinceMs = zplatform::nowMs();
    if (serviceActive && summary.pendingNotifyCount != 0)
        schedulePendingTgpushNotification();
}

void ZunaroHeadlessService::postHubSummary(qint64 nowMs)
{
    const bool unreadMode = !summary.hubUnreadCounts.isEmpty() && summary.hubUnreadTotal != 0;
    const qint64 chats = unreadMode ? summary.hubUnreadCounts.size() : summary.hubSummaryChatIds.size();
    const quint64 messages = unreadMode ? summary.hubUnreadTotal : summary.hubSummaryMessageCount;
    const quint64 pending = summary.pendingNotifyCount;

    dropPendingSummary();

    const QString body = hubsummary::composeBody(hubsummary::header(chats, messages, pending),
                                                 summary.hubSummaryLines, summary.hubSummaryMaxLines,
                                                 summary.hubSummaryMaxLinesPerChat);
    if (!summary.lastHubSummaryText.isEmpty() && summary.lastHubSummaryText == body && summary.lastHubSummaryMs > 0
        && nowMs - summary.lastHubSummaryMs < kDuplicateWindowMs) {
        zplatform::logLine("service: skip duplicate hub summary\n");
        summary.lastNotifyPostMs = nowMs;
        return;
    }
    if (isUiRunningActive()) {
        zplatform::logLine("service: hub notify suppressed (UI active)\n");
        return;
    }

    bb::platform::Notification::deleteFromInbox(hubsummary::kSummaryKey);
    bb::platform::Notification notification(hubsummary::kSummaryKey);
    notification.setType(bb::platform::NotificationType::Default);
    notification.setTitle(uiapp::kNotificationTitle);
    notification.setBody(body);
    // A date too far out for a calendar is no date.
    const QDateTime latest = summary.hubSummaryLatestDate > 0 ? QDateTime::fromSecsSinceEpoch(summary.hubSummaryLatestDate)
                                                      : QDateTime();
    notification.setTimestamp(latest.isValid() ? latest : zplatform::now());

    writeHubOpenRequest(QStringLiteral("chats"), 0, QStringLiteral("summary"));
    notification.setInvokeRequest(uiapp::startRequest(QStringLiteral("zunaro://hub?screen=chats")));

    const int err = notification.notify();
    zplatform::logLine("service: notify summary err=%d key=%s\n", err,
                      notification.key().toUtf8().constData());
    if (err != 0)
        return;
    ++push.tgpushStatHub;
    summary.lastNotifyPostMs = nowMs;
    summary.lastHubSummaryText = body;
    summary.lastHubSummaryMs = nowMs;
}

void ZunaroHeadlessService::clearHubSummaryState()
{
    summary.hubSummaryChatIds.clear();
    summary.hubSummaryLines.clear();
    summary.chatUnreadCounts.clear();
    summary.hubUnreadCounts.clear();
    summary.hubSummaryLatestDate = 0;
    summary.hubSummaryMessageCount = 0;
    summary.pendingNotifySinceMs = 0;
    summary.hubUnreadTotal = 0;
}
