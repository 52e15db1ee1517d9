#include "service_main.h"

void ZunaroHeadlessService::postIncomingCallNotification(qint64, qint64, qint64, const QString &)
{
}

