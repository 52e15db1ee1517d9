#include "service_main.h"

bool ZunaroHeadlessService::extractU64Field(const QByteArray &, const char *, quint64 &)
{
    return false;
}

