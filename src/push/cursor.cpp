// The push cursor survives restarts: debounced writes to "tgpush_since.txt".

#include "service_main.h"

#include <QTimer>

#include "push/cursor_file.h"
#include "push/poll_rules.h"
#include "zunaro/device.h"
#include "zunaro/files.h"

namespace {
constexpr int kSinceDebounceMs = 5000;
}

void ZunaroHeadlessService::markTgpushSinceDirty()
{
    const qint64 now = zplatform::nowMs();
    if (!push.tgpushSinceDirty)
        push.tgpushSinceDirtyMs = now;
    push.tgpushSinceDirty = true;
    push.tgpushSincePending = push.tgpushSince;
    // A steady stream of advances would keep restarting the debounce; after
    // a minute the write is due regardless.
    if (push::sinceWriteOverdue(now, push.tgpushSinceDirtyMs))
        flushTgpushSince(true);
    else
        push.tgpushSinceFlushTimer->start(kSinceDebounceMs);
}

void ZunaroHeadlessService::flushTgpushSince(bool force)
{
    if (!push.tgpushSinceDirty)
        return;
    if (!force && push.tgpushSinceFlushTimer->isActive())
        return;
    push.tgpushSinceFlushTimer->stop();
    // Never past news whose summary still waits: a service that ends before
    // posting it, however it ends, leaves that news to the next one.
    const quint64 value = summary.pendingNotifyCount > 0 ? qMin(push.tgpushSincePending, push.tgpushSinceShown) : push.tgpushSincePending;
    // Through a temporary file and a rename: a kill mid-write leaves the old
    // cursor or the new, never a cut one. A failed write is not retried: the
    // value stays in memory and the next advance writes again; at worst the
    // proxy repeats a few events.
    zplatform::writeFileAtomically(dataDir + QStringLiteral("/tgpush_since.txt"),
                                   push::cursorFileContent(value));
    push.tgpushSinceDirty = false;
    push.tgpushSinceDirtyMs = 0;
}

void ZunaroHeadlessService::noteTgpushNewsShown()
{
    // A write made while the summary waited stopped short of this news: now
    // that it is shown, or dropped on purpose, the rest is written too.
    if (summary.pendingNotifyCount > 0 && push.tgpushSinceShown < push.tgpushSince && !push.tgpushSinceDirty)
        markTgpushSinceDirty();
    push.tgpushSinceShown = push.tgpushSince;
}

void ZunaroHeadlessService::stopOnExit()
{
    stopBackend();
    flushTgpushSince(true);
}

void ZunaroHeadlessService::onTgpushSinceFlush()
{
    flushTgpushSince(true);
}
