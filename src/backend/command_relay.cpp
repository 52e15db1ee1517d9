#include "service_main.h"

void ZunaroHeadlessService::drainCmdSocket()
{
}

void ZunaroHeadlessService::flushPendingBackendLines()
{
}

