#include "push/poll_rules.h"

#include <algorithm>

namespace push {

namespace {
constexpr int kFirstBackoffMs = 5000;
constexpr int kMaxBackoffMs = 300000;
constexpr int kMaxPollDelayMs = 600000;
constexpr int kQuickEmptyAnswerPauseMs = 1000;
constexpr int kDeadlineMarginMs = 30000;
constexpr int kTimeoutSlackMs = 1500;
constexpr qint64 kStatsWindowMs = 1800000;
constexpr qint64 kSinceMaxDirtyMs = 60000;
} // namespace

QString pollRequestUrl(const QString &baseUrl, quint64 since, int timeoutMs)
{
    // Plain concatenation: a percent-escape in the URL ("%2F") must never be
    // taken for a placeholder.
    return baseUrl + (baseUrl.contains(QLatin1Char('?')) ? QLatin1String("&") : QLatin1String("?"))
        + QLatin1String("since=") + QString::number(since) + QLatin1String("&timeout_ms=")
        + QString::number(timeoutMs);
}

int nextBackoffMs(int currentMs)
{
    if (currentMs <= 0)
        return kFirstBackoffMs;
    return currentMs > kMaxBackoffMs / 2 ? kMaxBackoffMs : currentMs * 2;
}

int delayAfterEmptyAnswerMs(qint64 pollDurationMs)
{
    return pollDurationMs < kQuickEmptyAnswerPauseMs ? kQuickEmptyAnswerPauseMs : 0;
}

int clampPollDelayMs(int delayMs)
{
    return std::clamp(delayMs, 0, kMaxPollDelayMs);
}

int pollDeadlineMs(int timeoutMs)
{
    return std::max(timeoutMs, 0) + kDeadlineMarginMs;
}

bool countsAsTimeout(qint64 pollDurationMs, int timeoutMs)
{
    return timeoutMs > 0 && pollDurationMs >= qint64(timeoutMs) - kTimeoutSlackMs;
}

bool statsLineDue(qint64 nowMs, qint64 lastLoggedMs, bool force)
{
    return force || lastLoggedMs <= 0 || nowMs - lastLoggedMs >= kStatsWindowMs;
}

bool sinceWriteOverdue(qint64 nowMs, qint64 dirtySinceMs)
{
    return dirtySinceMs > 0 && nowMs - dirtySinceMs >= kSinceMaxDirtyMs;
}

} // namespace push
