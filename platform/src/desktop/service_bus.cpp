#include "desktop/service_bus.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusContext>
#include <QDBusMessage>
#include <QDBusReply>
#include <QCoreApplication>
#include <QUrl>
#include <QVariantMap>

#include "live_objects.h"
#include "service1adaptor.h"
#include "zunaro/log.h"
#include "zunaro/status.h"

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
    if (!live::deliverInvocation(request))
        sendErrorReply(QDBusError::Failed, QStringLiteral("the service is not ready for invocations"));
}

QVariantMap ServiceBus::Status()
{
    return statusSnapshot();
}

bool claimServiceBus(QString *error)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    auto *object = new ServiceBus(QCoreApplication::instance());
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
        return true;
    }
    bus.unregisterObject(kServiceObjectPath);
    delete object;
    return false;
}

} // namespace zplatform
