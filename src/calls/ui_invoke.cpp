#include "service_main.h"

void ZunaroHeadlessService::bringUiToForegroundForIncomingCall(qint64, qint64, qint64)
{
}

