#include "service_main.h"

void ZunaroHeadlessService::tailBackendEvents()
{
}

