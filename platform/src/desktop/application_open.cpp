#include "desktop/application_open.h"

#include <QDBusConnection>
#include <QDBusError>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QProcess>
#include <QTimer>

#include "zunaro/log.h"

namespace zplatform {

namespace {
// Long enough for the bus to start the application; the call is
// asynchronous, so the service keeps running meanwhile.
constexpr int kOpenTimeoutMs = 10000;

void finishLater(std::function<void(const QString &)> done, const QString &error)
{
    if (done)
        QTimer::singleShot(0, [done, error] { done(error); });
}

void openWithXdgOpen(const QString &uri, const std::function<void(const QString &)> &done)
{
    // Detached: xdg-open may wait for the program it starts.
    if (QProcess::startDetached(QStringLiteral("xdg-open"), {uri})) {
        finishLater(done, QString());
        return;
    }
    logLine("platform: xdg-open could not be started for %s\n", logText(uri).constData());
    finishLater(done, QStringLiteral("xdg-open could not be started"));
}
} // namespace

QString applicationObjectPath(const QString &desktopId)
{
    QString path = QLatin1Char('/') + desktopId;
    path.replace(QLatin1Char('.'), QLatin1Char('/'));
    path.replace(QLatin1Char('-'), QLatin1Char('_'));
    return path;
}

QVariantMap activationPlatformData(const QString &activationToken, const QString &startupId)
{
    QVariantMap data;
    if (!activationToken.isEmpty())
        data.insert(QStringLiteral("activation-token"), activationToken);
    if (!startupId.isEmpty())
        data.insert(QStringLiteral("desktop-startup-id"), startupId);
    return data;
}

void openApplication(const bb::system::InvokeRequest &request, std::function<void(const QString &)> done)
{
    const QString target = request.target();
    const QString uri = request.uri().toString();
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected() || target.isEmpty()) {
        logLine("platform: cannot invoke \"%s\": %s\n", target.toUtf8().constData(),
                target.isEmpty() ? "no target" : "no session bus");
        if (!uri.isEmpty())
            openWithXdgOpen(uri, done);
        else
            finishLater(done, QStringLiteral("no target application"));
        return;
    }
    const QVariantMap platformData = activationPlatformData(qEnvironmentVariable("XDG_ACTIVATION_TOKEN"),
                                                            qEnvironmentVariable("DESKTOP_STARTUP_ID"));
    QDBusMessage call = QDBusMessage::createMethodCall(target, applicationObjectPath(target),
                                                       QStringLiteral("org.freedesktop.Application"),
                                                       uri.isEmpty() ? QStringLiteral("Activate")
                                                                     : QStringLiteral("Open"));
    if (uri.isEmpty())
        call << platformData;
    else
        call << QStringList {uri} << platformData;
    auto *watcher = new QDBusPendingCallWatcher(bus.asyncCall(call, kOpenTimeoutMs));
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, watcher, [watcher, target, uri, done] {
        watcher->deleteLater();
        const QDBusError error = watcher->error();
        if (!error.isValid()) {
            if (done)
                done(QString());
            return;
        }
        // Neither running nor activatable: the desktop's URI handler is the
        // way left.
        if (error.type() == QDBusError::ServiceUnknown && !uri.isEmpty()) {
            logLine("platform: %s is not on the session bus; opening %s with xdg-open\n",
                    target.toUtf8().constData(), logText(uri).constData());
            openWithXdgOpen(uri, done);
            return;
        }
        logLine("platform: opening %s failed: %s: %s\n", target.toUtf8().constData(),
                logText(error.name()).constData(), logText(error.message()).constData());
        if (done)
            done(error.message());
    });
}

} // namespace zplatform
