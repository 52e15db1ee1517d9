#include "zunaro/device.h"

#include <QCoreApplication>
#include <QDir>

#include <atomic>

#include "zunaro/platform.h"

namespace zplatform {

namespace {
QString &appDirOverride()
{
    static QString path;
    return path;
}

// The test clock: when frozen, nowMs() answers frozenMs.
std::atomic<bool> clockFrozen {false};
std::atomic<qint64> frozenMs {0};
} // namespace

QString applicationDirPath()
{
    const QString &overridden = appDirOverride();
    if (!overridden.isEmpty())
        return overridden;
    // The service goes with the application object, after Qt has let go of
    // the application's path: what it writes then (a dialog closed on the
    // way out) must still land in its own device, not beside the current
    // directory.
    static QString lastKnown;
    if (QCoreApplication::instance())
        lastKnown = QCoreApplication::applicationDirPath();
    return lastKnown;
}

void setApplicationDirPath(const QString &path)
{
    appDirOverride() = path;
}

QString deviceRoot()
{
    const QString fromEnv = qEnvironmentVariable("ZUNARO_DEVICE_ROOT");
    if (!fromEnv.isEmpty())
        return QDir::cleanPath(QDir(fromEnv).absolutePath());
    return QDir::cleanPath(QDir(applicationDirPath()).absoluteFilePath(QStringLiteral("../..")));
}

QString devicePath(const QString &absolutePath)
{
    QString rel = absolutePath;
    while (rel.startsWith(QLatin1Char('/')))
        rel.remove(0, 1);
    return QDir::cleanPath(deviceRoot() + QLatin1Char('/') + rel);
}

QString platformDir()
{
    return deviceRoot() + QStringLiteral("/platform");
}

bool deviceLayoutFound(QString *error)
{
    if (platformKind() != PlatformKind::Embedded)
        return true;
    const QString app = QDir::cleanPath(applicationDirPath());
    if (qEnvironmentVariableIsEmpty("ZUNARO_DEVICE_ROOT") && !app.endsWith(QLatin1String("/app/native")))
        *error = QStringLiteral("the embedded platform needs a device folder: %1 is no device's app/native folder "
                                "and $ZUNARO_DEVICE_ROOT is not set; on a desktop use --platform=desktop")
                     .arg(app);
    else if (deviceRoot() == QLatin1String("/"))
        *error = QStringLiteral("the embedded platform needs a device folder and the file system root is none; "
                                "set $ZUNARO_DEVICE_ROOT, or on a desktop use --platform=desktop");
    return error->isEmpty();
}

qint64 nowMs()
{
    if (clockFrozen.load())
        return frozenMs.load();
    return QDateTime::currentMSecsSinceEpoch();
}

QDateTime now()
{
    return QDateTime::fromMSecsSinceEpoch(nowMs());
}

void setClockMs(qint64 ms)
{
    frozenMs.store(ms);
    clockFrozen.store(true);
}

void advanceClockMs(qint64 ms)
{
    if (!clockFrozen.load())
        setClockMs(QDateTime::currentMSecsSinceEpoch());
    frozenMs.fetch_add(ms);
}

void resetClock()
{
    clockFrozen.store(false);
}

} // namespace zplatform
