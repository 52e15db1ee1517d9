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
    switch (platform::readSmallFile(platform::platformDir() + QStringLiteral("/lock_state"),
                                    platform::maxLockStateBytes, &content)) {
    case platform::SmallFile::Absent:
        return 0;
    case platform::SmallFile::Read:
        return platform::lockStateFromContent(content);
    case platform::SmallFile::Unreadable:
    case platform::SmallFile::TooLarge:
        break;
    }
    return BPS_FAILURE;
}
