#include "desktop/application_open.h"

#include <QDBusConnection>
#include <QDBusError>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QProcess>
#include <QSet>
#include <QTimer>
#include <QUrl>

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

// How long the MIME database may take to name the scheme's handler.
constexpr int kHandlerQueryTimeoutMs = 5000;

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

// Without a program registered for the URI's scheme, xdg-open would try one
// browser after another; the desktop's MIME database says whether there is
// one (xdg-mime prints its desktop file, or nothing). The UI's absence is
// said once, not for every call that rings.
void openIfHandled(const QString &target, const QString &uri, std::function<void(const QString &)> done)
{
    const QString scheme = QUrl(uri).scheme();
    auto *query = new QProcess;
    query->setProcessChannelMode(QProcess::SeparateChannels);
    query->setStandardErrorFile(QProcess::nullDevice());
    const auto finish = [query, target, uri, done](bool handled) {
        query->disconnect();
        query->deleteLater();
        if (handled) {
            logLine("platform: %s is not on the session bus; opening %s with xdg-open\n",
                    target.toUtf8().constData(), logText(uri).constData());
            openWithXdgOpen(uri, done);
            return;
        }
        static QSet<QString> said;
        if (!said.contains(target)) {
            said.insert(target);
            const QString ui = target.isEmpty() ? QStringLiteral("for %1 URIs").arg(QUrl(uri).scheme()) : target;
            logLine("platform: the UI %s is not installed; the call rings as a notification\n",
                    logText(ui).constData());
        }
        finishLater(done, QStringLiteral("no program opens %1 URIs").arg(QUrl(uri).scheme()));
    };
    QObject::connect(query, &QProcess::finished, query, [query, finish](int code, QProcess::ExitStatus status) {
        finish(status == QProcess::NormalExit && code == 0 && !query->readAllStandardOutput().trimmed().isEmpty());
    });
    QObject::connect(query, &QProcess::errorOccurred, query, [finish](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart)
            finish(false);
    });
    QTimer::singleShot(kHandlerQueryTimeoutMs, query, [query] { query->kill(); });
    query->start(QStringLiteral("xdg-mime"), {QStringLiteral("query"), QStringLiteral("default"),
                                              QStringLiteral("x-scheme-handler/") + scheme});
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
            openIfHandled(target, uri, done);
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
            openIfHandled(target, uri, done);
            return;
        }
        logLine("platform: opening %s failed: %s: %s\n", target.toUtf8().constData(),
                logText(error.name()).constData(), logText(error.message()).constData());
        if (done)
            done(error.message());
    });
}

} // namespace zplatform
