// What the service tells about itself when asked (the desktop platform's
// Status() on the session bus, zunaroctl status on a device).

#include "service_main.h"

#include "zunaro/status.h"

QVariantMap ZunaroHeadlessService::statusSnapshot() const
{
    QVariantMap s {
        {QStringLiteral("mode"), tgpushMode ? QStringLiteral("push") : QStringLiteral("backend")},
        {QStringLiteral("active"), serviceActive},
        {QStringLiteral("backend_pid"), backendPid},
        {QStringLiteral("backend_wanted"), serviceActive && backendWanted && !tgpushMode},
        {QStringLiteral("backend_started_ms"), backendPid > 0 ? backendStartedMs : qint64(0)},
        {QStringLiteral("backend_restart_attempts"), backendRestartAttempts},
        {QStringLiteral("backend_missing"), backendMissing ? backendExecutablePath() : QString()},
        {QStringLiteral("stopped_ms"), serviceActive ? qint64(0) : serviceStoppedMs},
        {QStringLiteral("backend_next_start_ms"), backendNextStartMs},
        {QStringLiteral("pending_lines"), int(pendingBackendLines.size())},
        {QStringLiteral("ui_alive"), isUiAliveRecent()},
        {QStringLiteral("ui_running"), isUiRunningActive()},
    };
    if (tgpushMode) {
        s.insert(QStringLiteral("started"), tgpushStatStarted);
        s.insert(QStringLiteral("ok"), tgpushStatOk);
        s.insert(QStringLiteral("timeout"), tgpushStatTimeout);
        s.insert(QStringLiteral("err"), tgpushStatErr);
        s.insert(QStringLiteral("events"), tgpushStatEvents);
        s.insert(QStringLiteral("hub"), tgpushStatHub);
        s.insert(QStringLiteral("since"), tgpushSince);
        s.insert(QStringLiteral("poll_in_flight"), tgpushPollInFlight());
        s.insert(QStringLiteral("poll_last_http"), tgpushLastHttpStatus);
        s.insert(QStringLiteral("poll_last_error"), tgpushLastNetError);
        s.insert(QStringLiteral("poll_backoff_ms"), tgpushBackoffMs);
    }
    return s;
}
