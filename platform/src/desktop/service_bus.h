#pragma once
// The service on the session bus: com.kvel.zunaro.service, answering Invoke
// and Status at /com/kvel/zunaro/service.

#include <QString>

namespace zplatform {

inline const QString kServiceBusName = QStringLiteral("com.kvel.zunaro.service");
inline const QString kServiceObjectPath = QStringLiteral("/com/kvel/zunaro/service");
inline const QString kServiceInterface = QStringLiteral("com.kvel.zunaro.Service1");

// Exports the service object and takes the name, never queueing for it: two
// services on one session would both run the backend. False with the reason
// when the name is taken or the bus refuses.
bool claimServiceBus(QString *error);

} // namespace zplatform
