#pragma once
// When the summary notification is due: the arithmetic of coalescing, the
// minimum interval and waiting for message lines.

#include <QtGlobal>

namespace notifytiming {

// The longest the notify timer is ever armed for.
constexpr qint64 kMaxDelayMs = 3600000;
// How often a summary that waits for message lines looks again.
constexpr int kLinesRecheckMs = 750;

// Delay until a pending summary may be posted: the coalescing window from
// now, but not before the minimum interval after the last post has passed.
int dueDelayMs(qint64 nowMs, int coalesceMs, int minIntervalMs, qint64 lastPostMs);

// Whether the minimum interval after the last post still runs at `nowMs`.
bool withinMinInterval(qint64 nowMs, int minIntervalMs, qint64 lastPostMs);

// Whether a due summary should wait for message lines: while the UI is
// alive, numbers for known chats are not announced bare until the lines
// have had `linesWaitMs` from the first pending item to arrive.
bool waitForLines(bool uiAlive, bool namesChats, bool hasLines, qint64 pendingSinceMs, qint64 nowMs,
                  int linesWaitMs);

} // namespace notifytiming
