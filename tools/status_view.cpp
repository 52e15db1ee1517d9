#include "status_view.h"

#include <QDateTime>
#include <QList>
#include <QPair>

namespace {
// "4 s", "5 min 3 s", "2 h 7 min", "3 d 4 h": two units at most.
QString duration(qint64 ms)
{
    const qint64 s = qMax<qint64>(ms, 0) / 1000;
    if (s < 60)
        return QStringLiteral("%1 s").arg(s);
    if (s < 3600)
        return QStringLiteral("%1 min %2 s").arg(s / 60).arg(s % 60);
    if (s < 86400)
        return QStringLiteral("%1 h %2 min").arg(s / 3600).arg(s % 3600 / 60);
    return QStringLiteral("%1 d %2 h").arg(s / 86400).arg(s % 86400 / 3600);
}

QString since(qint64 atMs, qint64 nowMs)
{
    return QStringLiteral("since %1; %2 ago")
        .arg(QDateTime::fromMSecsSinceEpoch(atMs).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss t")),
             duration(nowMs - atMs));
}

QString counted(qint64 n, const char *one, const char *many)
{
    return QStringLiteral("%1 %2").arg(n).arg(QLatin1String(n == 1 ? one : many));
}

QString backendState(const QVariantMap &s, qint64 nowMs)
{
    if (s.value(QStringLiteral("mode")) == QLatin1String("push"))
        return QStringLiteral("none in push mode");
    const qint64 pid = s.value(QStringLiteral("backend_pid")).toLongLong();
    if (pid > 0) {
        const qint64 startedMs = s.value(QStringLiteral("backend_started_ms")).toLongLong();
        return startedMs > 0 ? QStringLiteral("running, pid %1, for %2").arg(pid).arg(duration(nowMs - startedMs))
                             : QStringLiteral("running, pid %1").arg(pid);
    }
    if (!s.value(QStringLiteral("active")).toBool())
        return QStringLiteral("not running: the service is stopped");
    if (!s.value(QStringLiteral("backend_wanted")).toBool())
        return QStringLiteral("not running: not wanted until the UI sends a command");
    const QString missing = s.value(QStringLiteral("backend_missing")).toString();
    if (!missing.isEmpty())
        return QStringLiteral("backend missing: %1").arg(missing);
    const qint64 nextMs = s.value(QStringLiteral("backend_next_start_ms")).toLongLong();
    const qint64 attempts = s.value(QStringLiteral("backend_restart_attempts")).toLongLong();
    if (nextMs > nowMs)
        return QStringLiteral("waiting, restart in %1 after %2")
            .arg(duration(nextMs - nowMs + 999), counted(attempts, "attempt", "attempts"));
    return QStringLiteral("starting");
}

QString pollState(const QVariantMap &s)
{
    const auto number = [&s](const char *key) { return s.value(QLatin1String(key)).toLongLong(); };
    QString answer = QStringLiteral("none yet");
    if (number("poll_last_http") > 0)
        answer = QStringLiteral("HTTP %1").arg(number("poll_last_http"));
    else if (number("poll_last_error") != 0)
        answer = QStringLiteral("failed, network error %1").arg(number("poll_last_error"));
    const qint64 backoffMs = number("poll_backoff_ms");
    return QStringLiteral("%1, cursor %2, last answer %3, %4")
        .arg(s.value(QStringLiteral("poll_in_flight")).toBool() ? QStringLiteral("in flight") : QStringLiteral("idle"),
             s.value(QStringLiteral("since")).toString(), answer,
             backoffMs > 0 ? QStringLiteral("back-off %1").arg(duration(backoffMs)) : QStringLiteral("no back-off"));
}
} // namespace

QString statusView(const QVariantMap &s, qint64 nowMs)
{
    const QString mode = s.value(QStringLiteral("mode")).toString();
    const bool running = s.value(QStringLiteral("active")).toBool();
    // A stopped service tells since when it is stopped, not since when it runs.
    const qint64 sinceMs = s.value(QLatin1String(running ? "started_ms" : "stopped_ms")).toLongLong();
    QString active = running ? QStringLiteral("active (%1 mode)").arg(mode) : QStringLiteral("stopped");
    if (sinceMs > 0)
        active += QLatin1Char(' ') + since(sinceMs, nowMs);
    if (!running)
        active += QStringLiteral(" (%1 mode)").arg(mode);
    const qint64 pending = s.value(QStringLiteral("pending_lines")).toLongLong();
    const bool uiAlive = s.value(QStringLiteral("ui_alive")).toBool();
    const bool uiRunning = s.value(QStringLiteral("ui_running")).toBool();
    const int lock = s.value(QStringLiteral("lock_state")).toInt();

    QList<QPair<const char *, QString>> rows {
        {"Active", active},
        {"Backend", backendState(s, nowMs)},
        {"Commands", pending > 0 ? counted(pending, "line", "lines") + QStringLiteral(" queued for the backend")
                                 : QStringLiteral("none queued")},
        {"UI", uiRunning ? QStringLiteral("running, in front")
                         : uiAlive ? QStringLiteral("alive, not in front") : QStringLiteral("not running")},
        {"Lock", lock < 0 ? QStringLiteral("unknown") : lock == 0 ? QStringLiteral("unlocked") : QStringLiteral("locked")},
        {"Online", s.value(QStringLiteral("online")).toBool() ? QStringLiteral("yes") : QStringLiteral("no")},
    };
    if (mode == QLatin1String("push")) {
        const auto n = [&s](const char *key) { return s.value(QLatin1String(key)).toLongLong(); };
        rows.append({"Poll", pollState(s)});
        rows.append({"Polls", QStringLiteral("%1 started, %2 answered, %3 timed out, %4 failed; %5, %6")
                                  .arg(n("started"))
                                  .arg(n("ok"))
                                  .arg(n("timeout"))
                                  .arg(n("err"))
                                  .arg(counted(n("events"), "event", "events"),
                                       counted(n("hub"), "notification", "notifications"))});
    }
    QString out = QStringLiteral("zunaro-service %1\n").arg(s.value(QStringLiteral("version")).toString());
    for (const auto &[label, text] : std::as_const(rows))
        out += QStringLiteral("%1: %2\n").arg(QLatin1String(label), 10).arg(text);
    return out;
}
