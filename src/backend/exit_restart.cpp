#include "service_main.h"

void ZunaroHeadlessService::reapBackend()
{
}

void ZunaroHeadlessService::onBackendFinished(int, QProcess::ExitStatus)
{
}

int ZunaroHeadlessService::jitterDelayMs(int)
{
    return 0;
}

