#pragma once
// The service on the session bus: com.kvel.zunaro.service, answering Invoke
// and Status at /com/kvel/zunaro/service.

#include <QDBusContext>
#include <QObject>
#include <QString>
#include <QVariantMap>

#include "internal/backend_api.h"

namespace zplatform {

inline const QString kServiceBusName = QStringLiteral("com.kvel.zunaro.service");
inline const QString kServiceObjectPath = QStringLiteral("/com/kvel/zunaro/service");
inline const QString kServiceInterface = QStringLiteral("com.kvel.zunaro.Service1");

// What the service's bus object does; the adaptor generated from the
// interface's XML (com.kvel.zunaro.Service1.xml, also installed for
// integrators) carries it to the bus, with the arguments named there.
class ServiceBus : public QObject, protected QDBusContext
{
    Q_OBJECT
public:
    ServiceBus(QObject *parent, const Inbound *inbound)
        : QObject(parent), m_inbound(inbound)
    {
    }

    // The same delivery as the control socket's invoke request on a device.
    void Invoke(const QString &action, const QString &uri);
    QVariantMap Status();

private:
    const Inbound *m_inbound; // the entrance's, which outlives the application
};

// Exports the service object and takes the name, never queueing for it: two
// services on one session would both run the backend. False with the reason
// when the name is taken or the bus refuses.
bool claimServiceBus(QString *error, const Inbound *inbound);

// The session as the way in: the service's bus name, and the start of the
// session told to the service as the phone tells it the system started.
class SessionEntrance : public Entrance
{
public:
    int claim() override;
    void open(const Inbound &inbound) override;
    void close() override {}

private:
    Inbound m_inbound;
    bool m_announced = false;
};

} // namespace zplatform
