#include "desktop/service_bus.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusContext>
#include <QDBusMessage>
#include <QDBusReply>
#include <QTimer>
#include <QCoreApplication>
#include <QUrl>
#include <QVariantMap>

#include "service1adaptor.h"
#include "zunaro/log.h"
#include "zunaro/platform.h"

namespace zplatform {

void ServiceBus::Invoke(const QString &action, const QString &uri)
{
    if (action.isEmpty()) {
        sendErrorReply(QDBusError::InvalidArgs, QStringLiteral("Invoke needs an action"));
        return;
    }
    bb::system::InvokeRequest request;
    request.setAction(action);
    if (!uri.isEmpty())
        request.setUri(QUrl(uri));
    if (!m_inbound->deliver || !m_inbound->deliver(request))
        sendErrorReply(QDBusError::Failed, QStringLiteral("the service is not ready for invocations"));
}

QVariantMap ServiceBus::Status()
{
    return m_inbound->status ? m_inbound->status() : QVariantMap();
}

namespace {
// Without its session bus the service can show nothing and hear no Invoke,
// and the bus never comes back to this connection. Ending, through the
// event loop so the service shuts down as usual, lets its unit start it
// again on the bus that does come back.
class BusLossWatch : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;

public slots:
    void onDisconnected()
    {
        logLine("platform: the session bus is gone; ending with status %d so the service is started again\n",
                kSessionBusLostExitStatus);
        QCoreApplication::exit(kSessionBusLostExitStatus);
    }
};
} // namespace

bool claimServiceBus(QString *error, const Inbound *inbound)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    auto *object = new ServiceBus(QCoreApplication::instance(), inbound);
    new Service1Adaptor(object);
    if (!bus.registerObject(kServiceObjectPath, object, QDBusConnection::ExportAdaptors)) {
        *error = QStringLiteral("could not export %1 on the session bus").arg(kServiceObjectPath);
        delete object;
        return false;
    }
    const QDBusReply<QDBusConnectionInterface::RegisterServiceReply> reply = bus.interface()->registerService(
        kServiceBusName, QDBusConnectionInterface::DontQueueService, QDBusConnectionInterface::DontAllowReplacement);
    if (!reply.isValid()) {
        *error = QStringLiteral("could not claim %1: %2").arg(kServiceBusName, reply.error().message());
    } else if (reply.value() != QDBusConnectionInterface::ServiceRegistered) {
        *error = QStringLiteral("another zunaro-service owns %1").arg(kServiceBusName);
    } else {
        logLine("platform: desktop service on the session bus as %s\n", kServiceBusName.toUtf8().constData());
        bus.connect(QString(), QStringLiteral("/org/freedesktop/DBus/Local"), QStringLiteral("org.freedesktop.DBus.Local"),
                    QStringLiteral("Disconnected"), new BusLossWatch(object), SLOT(onDisconnected()));
        return true;
    }
    bus.unregisterObject(kServiceObjectPath);
    delete object;
    return false;
}

// Refusals go through the log, so that under systemd the journal files them
// as errors.
int SessionEntrance::claim()
{
    if (!QDBusConnection::sessionBus().isConnected()) {
        logLine("zunaro-service: the desktop platform needs a session bus: %s\n",
                QDBusConnection::sessionBus().lastError().message().toLocal8Bit().constData());
        return 2;
    }
    // The user's commands come through a socket in the user's runtime
    // folder; a service that cannot have one would run without them.
    if (qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR")) {
        logLine("zunaro-service: the desktop platform needs XDG_RUNTIME_DIR, the user's runtime folder, "
                "for its command socket\n");
        return 2;
    }
    QString error;
    if (!claimServiceBus(&error, &m_inbound)) {
        logLine("zunaro-service: %s\n", error.toLocal8Bit().constData());
        return 1;
    }
    return 0;
}

void SessionEntrance::open(const Inbound &inbound)
{
    m_inbound = inbound;
    // The phone tells a service that the system started; here the session
    // starting the service is that moment, once per process.
    if (m_announced)
        return;
    m_announced = true;
    QTimer::singleShot(0, QCoreApplication::instance(), [this] {
        bb::system::InvokeRequest request;
        request.setAction(QStringLiteral("bb.action.system.STARTED"));
        m_inbound.deliver(request);
    });
}

} // namespace zplatform

#include "service_bus.moc"
