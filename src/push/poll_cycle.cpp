#include "service_main.h"

void ZunaroHeadlessService::scheduleTgpushPoll(int)
{
}

void ZunaroHeadlessService::cancelTgpushPoll()
{
}

void ZunaroHeadlessService::pollTgpushMaybe()
{
}

void ZunaroHeadlessService::onTgpushPollFinished()
{
}

void ZunaroHeadlessService::onTgpushOnlineChanged(bool)
{
}

