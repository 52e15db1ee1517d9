#include "zunaro/device.h"

#include <QCoreApplication>
#include <QDir>
#include <QStandardPaths>

#include <atomic>

#include "desktop/private_folder.h"
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

namespace {
// Where the service's files lie on the platform that runs: the one place
// that knows.
struct Places {
    QString data;
    QString shared;
    QString settings;
    bool privateData = false; // the data folder is made for its owner alone
};

Places places()
{
    switch (platformKind()) {
    case PlatformKind::Embedded:
        return {deviceRoot() + QStringLiteral("/data"), devicePath(QStringLiteral("/accounts/1000/shared")),
                platformDir() + QStringLiteral("/notification_settings.json")};
    case PlatformKind::Desktop: {
        const QString config =
            QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + QStringLiteral("/zunaro");
        return {QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + QStringLiteral("/zunaro"),
                config, config + QStringLiteral("/notification_settings.json"), true};
    }
    }
    return {};
}
} // namespace

QString dataDir()
{
    const Places p = places();
    if (p.privateData) {
        // Messages and the backend's database live here: for its owner alone,
        // also when somebody made the folder before. Where it cannot be made
        // so, the service's own writes there fail and say why.
        QDir().mkpath(QFileInfo(p.data).absolutePath());
        int ignored = 0;
        makePrivateFolder(p.data, &ignored);
    }
    return p.data;
}

QString sharedDir()
{
    return places().shared;
}

QString notificationSettingsPath()
{
    return places().settings;
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
