#include "service_main.h"

void ZunaroHeadlessService::enqueueTgpushNotification(int)
{
}

void ZunaroHeadlessService::schedulePendingTgpushNotification()
{
}

void ZunaroHeadlessService::postPendingTgpushNotification(bool)
{
}

