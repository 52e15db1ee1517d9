#include "bps/bps.h"

#include <QFile>

#include "zunaro/device.h"

int bps_initialize()
{
    return BPS_SUCCESS;
}

void bps_shutdown()
{
}

int navigator_get_device_lock_state()
{
    QFile file(platform::platformDir() + QStringLiteral("/lock_state"));
    if (!file.exists())
        return 0;
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    bool ok = false;
    const int state = QString::fromUtf8(file.read(64).trimmed()).toInt(&ok);
    return ok ? state : -1;
}
