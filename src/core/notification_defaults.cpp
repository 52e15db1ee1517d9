// The application's notification settings start from defaults set once; a
// marker file records which version of the defaults was applied.

#include "core/notification_defaults.h"

#include <climits>

#include "bb/platform/NotificationSettings.h"
#include "service_main.h"
#include "zunaro/files.h"
#include "zunaro/log.h"

namespace {
// The marker's first line, read to fewer than 64 bytes.
constexpr qsizetype kMaxMarkerLineBytes = 63;
} // namespace

namespace notifdefaults {

int markerVersion(const QByteArray &firstLine)
{
    const QByteArray line = firstLine.trimmed();
    if (line.startsWith('v')) {
        bool ok = false;
        const qint64 n = QString::fromUtf8(line.mid(1)).toLongLong(&ok, 10);
        if (!ok || n < 0)
            return 0;
        return n > INT_MAX ? INT_MAX : int(n);
    }
    return line == "ok" ? 1 : 0;
}

} // namespace notifdefaults

void ZunaroHeadlessService::applyNotificationDefaultsOnce()
{
    using namespace bb::platform;
    const QString markerPath = dataDir + QStringLiteral("/service_notif_defaults_applied.txt");

    int version = 0;
    QByteArray head;
    bool truncated = false;
    if (zplatform::readFileHead(markerPath, kMaxMarkerLineBytes, &head, &truncated)) {
        const qsizetype newline = head.indexOf('\n');
        if (newline >= 0)
            head.truncate(newline);
        version = notifdefaults::markerVersion(head);
    }
    if (version >= notifdefaults::kCurrentVersion)
        return;

    NotificationDefaultApplicationSettings defaults;
    defaults.setSound(NotificationPolicy::Type(1));
    defaults.setVibrate(NotificationPolicy::Type(1));
    defaults.setLed(NotificationPolicy::Type(1));
    defaults.setPreview(NotificationPriorityPolicy::Type(1));
    defaults.setVibrateCount(1);
    const int rc = defaults.apply();
    zplatform::logLine("service: notif_defaults apply err=%d\n", rc);

    if (rc == 0)
        zplatform::writeFileAtomically(markerPath, "v2\n");

    const NotificationApplicationSettings settings;
    zplatform::logLine("service: notif_settings alerts=%d sound=%d vibrate=%d led=%d preview=%d\n",
                      settings.alertsEnabled() ? 1 : 0, int(settings.sound()), int(settings.vibrate()),
                      int(settings.led()), int(settings.preview()));
}
