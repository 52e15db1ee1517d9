// The one line that tells how push mode has been doing.

#include "service_main.h"

#include "push/poll_rules.h"
#include "zunaro/device.h"
#include "zunaro/log.h"

void ZunaroHeadlessService::maybeLogTgpushStats(const char *reason, bool force)
{
    const qint64 now = zplatform::nowMs();
    if (!push::statsLineDue(now, push.tgpushStatsLoggedMs, force))
        return;
    push.tgpushStatsLoggedMs = now;
    using ull = unsigned long long;
    zplatform::logLine("service: tgpush stats reason=%s started=%llu ok=%llu timeout=%llu err=%llu "
                      "events=%llu hub=%llu since=%llu backoff_ms=%d last_http=%d last_net=%d "
                      "last_dur_ms=%lld timeout_ms=%d\n",
                      reason ? reason : "", ull(push.tgpushStatStarted), ull(push.tgpushStatOk),
                      ull(push.tgpushStatTimeout), ull(push.tgpushStatErr), ull(push.tgpushStatEvents),
                      ull(push.tgpushStatHub), ull(push.tgpushSince), push.tgpushBackoffMs, push.tgpushLastHttpStatus,
                      push.tgpushLastNetError, static_cast<long long>(push.tgpushLastPollDurMs), push.tgpushTimeoutMs);
}
