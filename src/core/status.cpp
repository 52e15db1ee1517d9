// What the service tells about itself when asked (the desktop platform's
// Status() on the session bus, zunaroctl status on a device).

#include "service_main.h"

#include "zunaro/status.h"

QVariantMap ZunaroHeadlessService::statusSnapshot() const
{
    QVariantMap s {
        {QStringLiteral("mode"), push.tgpushMode ? QStringLiteral("push") : QStringLiteral("backend")},
        {QStringLiteral("active"), serviceActive},
        {QStringLiteral("backend_pid"), backend.backendPid},
        {QStringLiteral("backend_wanted"), serviceActive && backend.backendWanted && !push.tgpushMode},
        {QStringLiteral("backend_started_ms"), backend.backendPid > 0 ? backend.backendStartedMs : qint64(0)},
        {QStringLiteral("backend_restart_attempts"), backend.backendRestartAttempts},
        {QStringLiteral("backend_missing"), backend.backendMissing ? backendExecutablePath() : QString()},
        {QStringLiteral("stopped_ms"), serviceActive ? qint64(0) : serviceStoppedMs},
        {QStringLiteral("backend_next_start_ms"), backend.backendNextStartMs},
        {QStringLiteral("pending_lines"), int(backend.pendingBackendLines.size())},
        {QStringLiteral("ui_alive"), isUiAliveRecent()},
        {QStringLiteral("ui_running"), isUiRunningActive()},
    };
    if (push.tgpushMode) {
        s.insert(QStringLiteral("started"), push.tgpushStatStarted);
        s.insert(QStringLiteral("ok"), push.tgpushStatOk);
        s.insert(QStringLiteral("timeout"), push.tgpushStatTimeout);
        s.insert(QStringLiteral("err"), push.tgpushStatErr);
        s.insert(QStringLiteral("events"), push.tgpushStatEvents);
        s.insert(QStringLiteral("hub"), push.tgpushStatHub);
        s.insert(QStringLiteral("since"), push.tgpushSince);
        s.insert(QStringLiteral("poll_in_flight"), tgpushPollInFlight());
        s.insert(QStringLiteral("poll_last_http"), push.tgpushLastHttpStatus);
        s.insert(QStringLiteral("poll_last_error"), push.tgpushLastNetError);
        s.insert(QStringLiteral("poll_backoff_ms"), push.tgpushBackoffMs);
    }
    return s;
}
