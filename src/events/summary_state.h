#pragma once

#include <QHash>
#include <QList>
#include <QSet>
#include <QString>

#include "events/summary_logic.h"

class QTimer;

// The one Hub summary notification: what it will say, and when it may be
// posted. Held by the service as `summary`. The "Tgpush" in the timer's
// name is historical: push mode had the timer first.
struct SummaryState
{
    // Posts the waiting summary when the coalescing window closes.
    QTimer *tgpushNotifyTimer = nullptr;
    // News not yet announced, and since when the oldest of it waits.
    quint64 pendingNotifyCount = 0;
    qint64 pendingNotifySinceMs = 0;
    qint64 lastNotifyPostMs = 0;
    // Least spacing of two posts, and how long later news may join a post.
    int notifyMinIntervalMs = 5000;
    int notifyCoalesceMs = 5000;
    // How long a summary waits for its lines while the UI is alive.
    int notifyLinesWaitMs = 8000;

    // Chats that gave the summary a line.
    QSet<qint64> hubSummaryChatIds;
    QList<hubsummary::SummaryLine> hubSummaryLines;
    // Newest message date in the summary, in seconds since the epoch.
    qint64 hubSummaryLatestDate = 0;
    quint64 hubSummaryMessageCount = 0;
    // Most lines in one body, and of one chat in one body.
    int hubSummaryMaxLines = 15;
    int hubSummaryMaxLinesPerChat = 5;
    // Last unread count the backend reported, per chat.
    QHash<qint64, int> chatUnreadCounts;
    // Per chat, unread messages that arrived while the UI was not in front,
    // and the running total of their increases.
    QHash<qint64, int> hubUnreadCounts;
    quint64 hubUnreadTotal = 0;
    // The body last posted and when: the same body again soon is not reposted.
    QString lastHubSummaryText;
    qint64 lastHubSummaryMs = 0;
};
