// The heartbeat: reap, follow the UI (push mode), supervise the backend,
// hand over queued commands, read new events. It beats only while there is
// something to supervise; whatever brings work back wakes it.

#include "service_main.h"

#include <QFile>
#include <QTimer>

#include <sys/stat.h>

#include "zunaro/device.h"
#include "zunaro/log.h"

namespace {
// Whether the events file may hold what the tail has not read: another file
// at the path, or another length than the offset. One stat(), so a tick
// with nothing to read opens nothing; the tail decides the rest as before.
bool eventsUnread(const QString &path, QPair<quint64, quint64> identity, qint64 offset)
{
    struct stat st;
    if (path.isEmpty() || ::stat(QFile::encodeName(path).constData(), &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    return QPair<quint64, quint64>(quint64(st.st_dev), quint64(st.st_ino)) != identity || qint64(st.st_size) != offset;
}
} // namespace

void ZunaroHeadlessService::onTick()
{
    if (backend.backendPid > 0)
        reapBackend();

    if (push.tgpushMode) {
        const bool alive = isUiAliveRecent();
        if (alive != uiAliveRecent) {
            uiAliveRecent = alive;
            zplatform::logLine("service: ui_alive_recent=%d\n", alive ? 1 : 0);
            if (alive) {
                cancelTgpushPoll();
                // Nothing to summarise: the UI will show what arrived.
                if (summary.hubSummaryMessageCount == 0 && summary.hubUnreadTotal == 0 && summary.hubSummaryLines.isEmpty())
                    dropPendingSummary();
            } else if (serviceActive && push.netOnline && !tgpushPollInFlight()) {
                scheduleTgpushPoll(0);
            }
        }
    }

    if (!serviceActive || !backend.backendWanted) {
        stopBackend();
    } else if (backend.backendPid <= 0 && (backend.backendNextStartMs == 0 || zplatform::nowMs() >= backend.backendNextStartMs)) {
        startBackend();
    }

    flushPendingBackendLines();
    if (eventsUnread(tail.eventsFilePath, tail.eventsFileIdentity, tail.eventsFileOffset))
        tailBackendEvents();

    if (!push.tgpushMode && !tickWanted())
        tickTimer->stop();
}

bool ZunaroHeadlessService::tickWanted() const
{
    // A wanted backend is supervised through its back-off too; without the
    // file watch the tick is the only reader of the events file.
    return backend.backendPid > 0 || backend.backendWanted || calls.pendingCallId > 0 || !tail.eventsWatcher;
}

void ZunaroHeadlessService::wakeTick()
{
    // A running tick keeps its phase; in push mode the events timer ticks.
    if (serviceActive && !push.tgpushMode && !tickTimer->isActive())
        tickTimer->start();
}

void ZunaroHeadlessService::onEventsTailTick()
{
    if (serviceActive && push.tgpushMode)
        onTick();
}
