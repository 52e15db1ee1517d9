#include "desktop/lock_logind.h"

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusServiceWatcher>
#include <QDBusVariant>
#include <QPointer>
#include <QTimer>

#include <functional>
#include <unistd.h>

#include "zunaro/log.h"

namespace zplatform {

namespace {
constexpr int kCallTimeoutMs = 2000;
constexpr int kReconnectMs = 2000;
const QString kLogin1 = QStringLiteral("org.freedesktop.login1");
const QString kProperties = QStringLiteral("org.freedesktop.DBus.Properties");

struct ScreenSaver {
    const char *service;
    const char *path;
};
constexpr ScreenSaver kScreenSavers[] = {
    {"org.freedesktop.ScreenSaver", "/org/freedesktop/ScreenSaver"},
    {"org.gnome.ScreenSaver", "/org/gnome/ScreenSaver"},
};

class LockWatch : public QObject
{
    Q_OBJECT
public:
    LockWatch(QObject *parent, LockSource *source)
        : QObject(parent), m_source(source)
    {
        m_reconnect.setSingleShot(true);
        m_reconnect.setInterval(kReconnectMs);
        connect(&m_reconnect, &QTimer::timeout, this, &LockWatch::connectSystemBus);
        connectSystemBus();
    }

    int state = -1;

private slots:
    void connectSystemBus()
    {
        // A connection of its own: the shared one never comes back once its
        // bus has gone.
        m_system = QDBusConnection::connectToBus(QDBusConnection::SystemBus,
                                                 QStringLiteral("zunaro-lock-%1").arg(++m_connections));
        if (!m_system.isConnected()) {
            QDBusConnection::disconnectFromBus(m_system.name());
            if (m_logindAnswered)
                m_reconnect.start();
            else
                useScreenSaver(QStringLiteral("no system bus"));
            return;
        }
        m_system.connect(QString(), QStringLiteral("/org/freedesktop/DBus/Local"), QStringLiteral("org.freedesktop.DBus.Local"),
                         QStringLiteral("Disconnected"), this, SLOT(onSystemBusLost()));
        delete m_logindWatch;
        m_logindWatch = new QDBusServiceWatcher(kLogin1, m_system, QDBusServiceWatcher::WatchForOwnerChange, this);
        connect(m_logindWatch, &QDBusServiceWatcher::serviceUnregistered, this,
                [this] { lose(QStringLiteral("logind left the system bus")); });
        connect(m_logindWatch, &QDBusServiceWatcher::serviceRegistered, this, [this] {
            if (m_logindAnswered)
                findSession();
        });
        findSession();
    }

    void onSystemBusLost()
    {
        lose(QStringLiteral("the system bus is gone"));
        QDBusConnection::disconnectFromBus(m_system.name());
        m_reconnect.start();
    }

    void onSessionPropertiesChanged(const QString &interface, const QVariantMap &changed, const QStringList &invalidated)
    {
        if (interface != QLatin1String("org.freedesktop.login1.Session"))
            return;
        const auto it = changed.constFind(QStringLiteral("LockedHint"));
        if (it != changed.constEnd())
            setState(it->toBool() ? 1 : 0);
        else if (invalidated.contains(QStringLiteral("LockedHint")))
            readLockedHint();
    }

    void onScreenSaverActiveChanged(bool active) { setState(active ? 1 : 0); }

private:
    using Answer = std::function<void(const QDBusMessage &)>;

    void findSession()
    {
        const QString sessionId = qEnvironmentVariable("XDG_SESSION_ID");
        if (!sessionId.isEmpty()) {
            call(m_system, kLogin1, QStringLiteral("/org/freedesktop/login1"), QStringLiteral("org.freedesktop.login1.Manager"),
                 QStringLiteral("GetSession"), {sessionId}, [this](const QDBusMessage &reply) {
                     followSession(reply.arguments().value(0).value<QDBusObjectPath>().path());
                 });
            return;
        }
        // Without a session of its own (a user service), the user's display
        // session is the one on screen.
        call(m_system, kLogin1, QStringLiteral("/org/freedesktop/login1"), QStringLiteral("org.freedesktop.login1.Manager"),
             QStringLiteral("GetUser"), {uint(::getuid())}, [this](const QDBusMessage &reply) {
                 const QString user = reply.arguments().value(0).value<QDBusObjectPath>().path();
                 call(m_system, kLogin1, user, kProperties, QStringLiteral("Get"),
                      {QStringLiteral("org.freedesktop.login1.User"), QStringLiteral("Display")},
                      [this](const QDBusMessage &display) { followSession(displaySessionPath(display)); });
             });
    }

    // An asynchronous call; a failure logs why and falls back to the
    // screensaver, unless this already is the screensaver.
    void call(QDBusConnection bus, const QString &service, const QString &path, const QString &interface,
              const QString &method, const QVariantList &args, Answer answer, std::function<void(const QString &)> failed = {})
    {
        QDBusMessage message = QDBusMessage::createMethodCall(service, path, interface, method);
        message.setArguments(args);
        auto *watcher = new QDBusPendingCallWatcher(bus.asyncCall(message, kCallTimeoutMs), this);
        connect(watcher, &QDBusPendingCallWatcher::finished, this, [=] {
            watcher->deleteLater();
            if (watcher->isError()) {
                const QString why = method + QStringLiteral(": ") + watcher->error().message();
                if (failed)
                    failed(why);
                else
                    useScreenSaver(why);
                return;
            }
            answer(watcher->reply());
        });
    }

    static QString displaySessionPath(const QDBusMessage &reply)
    {
        // Get answers a variant holding the (so) pair of session id and path.
        const QDBusArgument pair = reply.arguments().value(0).value<QDBusVariant>().variant().value<QDBusArgument>();
        QString id;
        QDBusObjectPath path;
        pair.beginStructure();
        pair >> id >> path;
        pair.endStructure();
        return path.path();
    }

    void followSession(const QString &path)
    {
        if (path.isEmpty() || path == QLatin1String("/")) {
            useScreenSaver(QStringLiteral("logind has no session for this user"));
            return;
        }
        m_sessionPath = path;
        // Signals come on the session's own path, never on its aliases.
        m_system.connect(kLogin1, path, kProperties, QStringLiteral("PropertiesChanged"), this,
                         SLOT(onSessionPropertiesChanged(QString, QVariantMap, QStringList)));
        readLockedHint();
    }

    void readLockedHint()
    {
        call(m_system, kLogin1, m_sessionPath, kProperties, QStringLiteral("Get"),
             {QStringLiteral("org.freedesktop.login1.Session"), QStringLiteral("LockedHint")},
             [this](const QDBusMessage &reply) {
                 if (!m_logindAnswered || m_lost)
                     logLine("platform: lock state from logind session %s\n", m_sessionPath.toUtf8().constData());
                 m_logindAnswered = true;
                 m_lost = false;
                 setState(reply.arguments().value(0).value<QDBusVariant>().variant().toBool() ? 1 : 0);
             });
    }

    void useScreenSaver(const QString &why)
    {
        if (m_logindAnswered || m_screenSaverTried)
            return;
        m_screenSaverTried = true;
        if (!m_sessionPath.isEmpty())
            m_system.disconnect(kLogin1, m_sessionPath, kProperties, QStringLiteral("PropertiesChanged"), this,
                                SLOT(onSessionPropertiesChanged(QString, QVariantMap, QStringList)));
        logLine("platform: no lock state from logind (%s); asking the screensaver\n", logText(why).constData());
        tryScreenSaver(0);
    }

    void tryScreenSaver(size_t index)
    {
        if (index >= std::size(kScreenSavers)) {
            logLine("platform: no screensaver answers either; the lock state is unknown\n");
            return;
        }
        const QString service = QLatin1String(kScreenSavers[index].service);
        const QString path = QLatin1String(kScreenSavers[index].path);
        call(
            QDBusConnection::sessionBus(), service, path, service, QStringLiteral("GetActive"), {},
            [this, service, path](const QDBusMessage &reply) {
                logLine("platform: lock state from %s\n", service.toUtf8().constData());
                QDBusConnection::sessionBus().connect(service, path, service, QStringLiteral("ActiveChanged"), this,
                                                      SLOT(onScreenSaverActiveChanged(bool)));
                setState(reply.arguments().value(0).toBool() ? 1 : 0);
            },
            [this, index](const QString &) { tryScreenSaver(index + 1); });
    }

    void setState(int newState)
    {
        if (newState == state)
            return;
        state = newState;
        if (m_source)
            emit m_source->changed(state);
    }

    // Once logind has answered, its word is the only one: without it the
    // state is unknown rather than the last one seen, which would hold a
    // locked or unlocked screen for good.
    void lose(const QString &why)
    {
        if (!m_logindAnswered || m_lost)
            return;
        m_lost = true;
        setState(-1);
        logLine("platform: %s; the lock state is unknown until logind answers again\n", why.toUtf8().constData());
    }

    QDBusConnection m_system {QString()};
    QPointer<QDBusServiceWatcher> m_logindWatch;
    QTimer m_reconnect;
    int m_connections = 0;
    QPointer<LockSource> m_source;
    QString m_sessionPath;
    bool m_logindAnswered = false;
    bool m_lost = false;
    bool m_screenSaverTried = false;
};
} // namespace

// The source lives as long as the process; the watch, with its bus
// connections, goes with the application.
class LogindLock : public LockSource
{
public:
    int state() override
    {
        start();
        return m_watch ? m_watch->state : -1;
    }

    void start() override
    {
        // Bus signals need the application's event loop.
        if (!m_watch && QCoreApplication::instance() && !m_started) {
            m_started = true;
            m_watch = new LockWatch(QCoreApplication::instance(), this);
        }
    }

private:
    QPointer<LockWatch> m_watch;
    bool m_started = false;
};

std::unique_ptr<LockSource> makeLogindLockSource()
{
    return std::make_unique<LogindLock>();
}

} // namespace zplatform

#include "lock_logind.moc"
