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

    ++hubSummaryMessageCount;
    ++pendingNotifyCount;
    if (pendingNotifySinceMs == 0)
        pendingNotifySinceMs = zplatform::nowMs();

    const qint64 date = message.date;
    if (date > 0 && hubSummaryLatestDate < date)
        hubSummaryLatestDate = date;

    if (chatId > 0) {
        const QString text = hubsummary::composeLine(message.chatTitle, message.senderName, message.text);
        if (hasRoomFor(hubSummaryChatIds, chatId)) {
            const qsizetype chatsBefore = hubSummaryChatIds.size();
            hubSummaryChatIds.insert(chatId);
            noteIfFilled(hubSummaryChatIds, chatsBefore, "summary chats");
        }
        hubSummaryLines.prepend(HubSummaryLine { chatId, date, text });
        while (hubSummaryLines.size() > hubsummary::kMaxStoredLines)
            hubSummaryLines.removeLast();
    }

    if (serviceActive && pendingNotifyCount != 0)
        schedulePendingTgpushNotification();
}

void ZunaroHeadlessService::applyChatUnread(qint64 chatId, int unreadCount)
{
    if (!serviceActive || chatId == 0)
        return;
    const int count = std::max(unreadCount, 0);
    const bool uiActive = uiRunningForEvents();
    const auto known = chatUnreadCounts.constFind(chatId);
    const bool wasKnown = known != chatUnreadCounts.constEnd();
    const int previous = wasKnown ? *known : 0;
    const auto entry = hubUnreadCounts.constFind(chatId);
    const hubsummary::UnreadEntry before = entry != hubUnreadCounts.constEnd()
        ? hubsummary::UnreadEntry { true, *entry }
        : hubsummary::UnreadEntry();
    const hubsummary::UnreadResult after =
        hubsummary::applyUnread(before, hubUnreadTotal, wasKnown, previous, count, uiActive);
    // A full table takes no new chat: that chat's news is left out.
    if ((count > 0 && !hasRoomFor(chatUnreadCounts, chatId))
        || (after.entry.present && !hasRoomFor(hubUnreadCounts, chatId)))
        return;

    // A count of 0 is what an unknown chat reads as: it takes no entry.
    const qsizetype countsBefore = chatUnreadCounts.size();
    const qsizetype newsBefore = hubUnreadCounts.size();
    if (count == 0) {
        chatUnreadCounts.remove(chatId);
    } else {
        chatUnreadCounts.insert(chatId, count);
        noteIfFilled(chatUnreadCounts, countsBefore, "unread counts");
    }
    hubUnreadTotal = after.total;
    if (after.entry.present) {
        hubUnreadCounts.insert(chatId, after.entry.count);
        noteIfFilled(hubUnreadCounts, newsBefore, "unread news");
    } else {
        hubUnreadCounts.remove(chatId);
    }
    if (after.added == 0)
        return;
    pendingNotifyCount += after.added;
    if (pendingNotifySinceMs == 0)
        pendingNotifySinceMs = zplatform::nowMs();
    if (serviceActive && pendingNotifyCount != 0)
        schedulePendingTgpushNotification();
}

void ZunaroHeadlessService::postHubSummary(qint64 nowMs)
{
    const bool unreadMode = !hubUnreadCounts.isEmpty() && hubUnreadTotal != 0;
    const qint64 chats = unreadMode ? hubUnreadCounts.size() : hubSummaryChatIds.size();
    const quint64 messages = unreadMode ? hubUnreadTotal : hubSummaryMessageCount;
    const quint64 pending = pendingNotifyCount;

    dropPendingSummary();

    const QString body = hubsummary::composeBody(hubsummary::header(chats, messages, pending),
                                                 hubSummaryLines, hubSummaryMaxLines,
                                                 hubSummaryMaxLinesPerChat);
    if (!lastHubSummaryText.isEmpty() && lastHubSummaryText == body && lastHubSummaryMs > 0
        && nowMs - lastHubSummaryMs < kDuplicateWindowMs) {
        zplatform::logLine("service: skip duplicate hub summary\n");
        lastNotifyPostMs = nowMs;
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
    const QDateTime latest = hubSummaryLatestDate > 0 ? QDateTime::fromSecsSinceEpoch(hubSummaryLatestDate)
                                                      : QDateTime();
    notification.setTimestamp(latest.isValid() ? latest : zplatform::now());

    writeHubOpenRequest(QStringLiteral("chats"), 0, QStringLiteral("summary"));
    notification.setInvokeRequest(uiapp::startRequest(QStringLiteral("zunaro://hub?screen=chats")));

    const int err = notification.notify();
    zplatform::logLine("service: notify summary err=%d key=%s\n", err,
                      notification.key().toUtf8().constData());
    if (err != 0)
        return;
    ++tgpushStatHub;
    lastNotifyPostMs = nowMs;
    lastHubSummaryText = body;
    lastHubSummaryMs = nowMs;
}

void ZunaroHeadlessService::clearHubSummaryState()
{
    hubSummaryChatIds.clear();
    hubSummaryLines.clear();
    chatUnreadCounts.clear();
    hubUnreadCounts.clear();
    hubSummaryLatestDate = 0;
    hubSummaryMessageCount = 0;
    pendingNotifySinceMs = 0;
    hubUnreadTotal = 0;
}
