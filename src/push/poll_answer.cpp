// What an answer of the push proxy says: how many events, and where the
// cursor goes next.

#include "service_main.h"

#include "push/events_scan.h"
#include "push/poll_rules.h"
#include "zunaro/log.h"

bool ZunaroHeadlessService::extractU64Field(const QByteArray &body, const char *field, quint64 &out)
{
    return push::extractU64(body, field, out);
}

void ZunaroHeadlessService::takeTgpushAnswer(const QByteArray &body)
{
    const push::EventsScan scan = push::scanEvents(body, push.tgpushSince);
    if (scan.status != push::EventsScan::Accepted) {
        ++push.tgpushStatErr;
        zplatform::logLine(scan.status == push::EventsScan::MissingEvents
                              ? "service: tgpush poll invalid json (missing events)\n"
                              : "service: tgpush poll invalid json (unterminated events)\n");
        maybeLogTgpushStats("poll_ok_invalid_json", false);
        stepTgpushBackoff();
        scheduleTgpushPoll(jitterDelayMs(push.tgpushBackoffMs));
        return;
    }

    ++push.tgpushStatOk;
    push.tgpushBackoffMs = 0;
    // Nothing waits to be shown: whatever the cursor passed so far is dealt with.
    if (summary.pendingNotifyCount == 0)
        push.tgpushSinceShown = push.tgpushSince;
    if (scan.best > push.tgpushSince) {
        push.tgpushSince = scan.best;
        markTgpushSinceDirty();
    }
    // The summary takes in what the backend's events file gained before the
    // push events are counted.
    tailBackendEvents();
    if (scan.count == 0) {
        if (push::countsAsTimeout(push.tgpushLastPollDurMs, push.tgpushTimeoutMs))
            ++push.tgpushStatTimeout;
    } else {
        push.tgpushStatEvents += quint64(scan.count);
        if (!uiAliveRecent)
            enqueueTgpushNotification(scan.count);
    }
    maybeLogTgpushStats("poll_ok", false);
    scheduleTgpushPoll(scan.count == 0 ? push::delayAfterEmptyAnswerMs(push.tgpushLastPollDurMs)
                                       : jitterDelayMs(push.tgpushPollDelayOnEventsMs));
}
