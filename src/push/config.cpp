#include "service_main.h"

bool ZunaroHeadlessService::parseEnvFile(const QString &, QMap<QString, QString> &)
{
    return false;
}

void ZunaroHeadlessService::loadTgpushConfig()
{
}

