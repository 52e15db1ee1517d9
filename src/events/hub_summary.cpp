#include "service_main.h"

void ZunaroHeadlessService::enqueueHubSummaryMessage(const QVariantMap &)
{
}

void ZunaroHeadlessService::applyChatUnread(qint64, int)
{
}

void ZunaroHeadlessService::postHubSummary(qint64)
{
}

void ZunaroHeadlessService::clearHubSummaryState()
{
}

QString ZunaroHeadlessService::simplifyLine(const QString &)
{
    return QString();
}

