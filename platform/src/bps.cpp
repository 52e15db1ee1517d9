#include "bps/bps.h"

#include "files.h"
#include "state_parse.h"
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
    QByteArray content;
    switch (zplatform::readSmallFile(zplatform::platformDir() + QStringLiteral("/lock_state"),
                                    zplatform::kMaxLockStateBytes, &content)) {
    case zplatform::SmallFile::Absent:
        return 0;
    case zplatform::SmallFile::Read:
        return zplatform::lockStateFromContent(content);
    case zplatform::SmallFile::Unreadable:
    case zplatform::SmallFile::TooLarge:
        break;
    }
    return BPS_FAILURE;
}
