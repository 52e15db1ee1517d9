#include "service_main.h"

void ZunaroHeadlessService::load_env_file(QStringList &, const QString &)
{
}

void ZunaroHeadlessService::upsert_env(QStringList &, const QString &, const QString &)
{
}

QString ZunaroHeadlessService::get_env_value(const QStringList &, const QString &)
{
    return QString();
}

QStringList ZunaroHeadlessService::buildBackendEnvironment() const
{
    return QStringList();
}

