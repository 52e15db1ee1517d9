#pragma once
// The service on the session bus: com.kvel.zunaro.service, answering Invoke
// and Status at /com/kvel/zunaro/service.

#include <QString>

#include "backend_api.h"

namespace zplatform {

inline const QString kServiceBusName = QStringLiteral("com.kvel.zunaro.service");
inline const QString kServiceObjectPath = QStringLiteral("/com/kvel/zunaro/service");
inline const QString kServiceInterface = QStringLiteral("com.kvel.zunaro.Service1");

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
