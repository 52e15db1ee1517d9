#pragma once
// The arithmetic of the poll cycle, the statistics and the cursor timing.

#include <QString>

namespace push {

// "<url>?since=N&timeout_ms=M", or "&" when the URL already has a query.
QString pollRequestUrl(const QString &baseUrl, quint64 since, int timeoutMs);

// 5 s after the first failure, then doubling up to 5 minutes.
int nextBackoffMs(int currentMs);

// The delay before the poll after an empty answer: none when the proxy held
// the poll as it should, a pause of a second when it answered at once, so a
// proxy that never holds polls is not asked thousands of times a second.
int delayAfterEmptyAnswerMs(qint64 pollDurationMs);

// A pending poll is never further away than 10 minutes.
int clampPollDelayMs(int delayMs);

// How long a poll may stay unanswered before it is given up: the time the
// proxy was asked to hold it plus a generous margin for a slow network.
int pollDeadlineMs(int timeoutMs);

// An empty answer that took (almost) the whole long-poll time.
bool countsAsTimeout(qint64 pollDurationMs, int timeoutMs);

// The statistics line is written when forced, first, or 30 minutes after
// the previous one.
bool statsLineDue(qint64 nowMs, qint64 lastLoggedMs, bool force);

// A cursor that has waited this long is written without further debounce.
bool sinceWriteOverdue(qint64 nowMs, qint64 dirtySinceMs);

} // namespace push
