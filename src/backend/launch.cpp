#include "service_main.h"

void ZunaroHeadlessService::startBackend()
{
}

void ZunaroHeadlessService::stopBackend()
{
}

void ZunaroHeadlessService::sendLine(const QString &)
{
}

