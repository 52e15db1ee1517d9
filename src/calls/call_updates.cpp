#include "service_main.h"

void ZunaroHeadlessService::handleCallUpdate(const QVariantMap &)
{
}

void ZunaroHeadlessService::clearPendingIncomingCall()
{
}

void ZunaroHeadlessService::onPendingIncomingCallInvokeTick()
{
}

