#include "service_main.h"

void ZunaroHeadlessService::flushTgpushSince(bool)
{
}

void ZunaroHeadlessService::onTgpushSinceFlush()
{
}

