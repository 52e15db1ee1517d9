#include "service_main.h"

void ZunaroHeadlessService::maybeLogTgpushStats(const char *, bool)
{
}

