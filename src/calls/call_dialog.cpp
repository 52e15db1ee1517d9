#include "service_main.h"

void ZunaroHeadlessService::showIncomingCallDialog(qint64, qint64, qint64, const QString &)
{
}

void ZunaroHeadlessService::dismissIncomingCallDialog()
{
}

