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

#include <cstdio>

#include "zunaro/log.h"

namespace zplatform {

namespace {
class ServiceBus : public QObject, protected QDBusContext
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "com.kvel.zunaro.Service1")
public:
    ServiceBus(QObject *parent, const Inbound *inbound)
        : QObject(parent), m_inbound(inbound)
    {
    }

public slots:
    // The same delivery as the control socket's invoke request on a device.
    void Invoke(const QString &action, const QString &uri)
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

    QVariantMap Status() { return m_inbound->status ? m_inbound->status() : QVariantMap(); }

private:
    const Inbound *m_inbound; // the entrance's, which outlives the application
};
} // namespace

bool claimServiceBus(QString *error, const Inbound *inbound)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    auto *object = new ServiceBus(QCoreApplication::instance(), inbound);
    if (!bus.registerObject(kServiceObjectPath, object, QDBusConnection::ExportAllSlots)) {
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
        return true;
    }
    bus.unregisterObject(kServiceObjectPath);
    delete object;
    return false;
}

int SessionEntrance::claim()
{
    if (!QDBusConnection::sessionBus().isConnected()) {
        fprintf(stderr, "zunaro-service: the desktop platform needs a session bus: %s\n",
                QDBusConnection::sessionBus().lastError().message().toLocal8Bit().constData());
        return 2;
    }
    QString error;
    if (!claimServiceBus(&error, &m_inbound)) {
        fprintf(stderr, "zunaro-service: %s\n", error.toLocal8Bit().constData());
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
