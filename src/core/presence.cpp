// The UI tells the service it exists by keeping two files fresh.

#include "core/presence.h"

#include <QFile>
#include <QFileInfo>

#include "service_main.h"
#include "zunaro/device.h"

namespace presence {

namespace {
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
    const QFileInfo info(path);
    if (!info.exists() || !info.isFile())
        return false;
    QByteArray firstLine;
    QFile file(path);
    if (file.open(QIODevice::ReadOnly | QIODevice::Text))
        firstLine = file.readLine(64);
    const QDateTime modified = info.lastModified();
    const qint64 mtimeMs = modified.isValid() ? modified.toMSecsSinceEpoch() : 0;
    return isFresh(firstLine, mtimeMs, nowMs, windowMs);
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
