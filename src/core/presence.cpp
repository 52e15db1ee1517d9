// The UI tells the service it exists by keeping two files fresh.

#include "core/presence.h"

#include <QFileInfo>

#include "service_main.h"
#include "zunaro/device.h"
#include "zunaro/files.h"

namespace presence {

namespace {
// Only the first line counts, and of it fewer than 64 bytes.
constexpr qsizetype kMaxLineBytes = 63;

bool withinWindow(qint64 stampMs, qint64 nowMs, qint64 windowMs)
{
    const qint64 age = nowMs - stampMs;
    return (age < 0 ? 0 : age) <= windowMs;
}
} // namespace

bool isFresh(const QByteArray &firstLine, qint64 mtimeMs, qint64 nowMs, qint64 windowMs)
{
    // Qt's conversion stops at a NUL, so "17\0garbage" would read as 17: a
    // line holding one is no number, however it begins.
    const QByteArray text = firstLine.trimmed();
    bool ok = false;
    const qint64 stamp = text.contains('\0') ? 0 : QString::fromUtf8(text).toLongLong(&ok, 10);
    if (ok && stamp >= 1)
        return withinWindow(stamp, nowMs, windowMs);
    if (mtimeMs >= 1)
        return withinWindow(mtimeMs, nowMs, windowMs);
    // Neither content nor modification time: existence alone counts.
    return true;
}

bool fileIsFresh(const QString &path, qint64 nowMs, qint64 windowMs)
{
    // Content and modification time come from one open descriptor: a FIFO
    // swapped in between a look and an open could otherwise hold the open.
    QByteArray head;
    bool truncated = false;
    qint64 mtimeMs = 0;
    if (!zplatform::readFileHead(path, kMaxLineBytes, &head, &truncated, &mtimeMs)) {
        // A regular file that cannot be read still has its modification time,
        // which needs no open.
        const QFileInfo info(path);
        if (!info.isFile())
            return false;
        const QDateTime modified = info.lastModified();
        return isFresh(QByteArray(), modified.isValid() ? modified.toMSecsSinceEpoch() : 0, nowMs, windowMs);
    }
    const qsizetype newline = head.indexOf('\n');
    if (newline >= 0)
        head.truncate(newline);
    return isFresh(head, mtimeMs, nowMs, windowMs);
}

} // namespace presence

bool ZunaroHeadlessService::isUiAliveRecent() const
{
    return presence::fileIsFresh(dataDir + QStringLiteral("/ui_alive.txt"), zplatform::nowMs(),
                                 uiAliveMaxAgeMs);
}

bool ZunaroHeadlessService::isUiRunningActive() const
{
    return presence::fileIsFresh(dataDir + QStringLiteral("/ui_running.txt"), zplatform::nowMs(),
                                 uiRunningMaxAgeMs);
}
