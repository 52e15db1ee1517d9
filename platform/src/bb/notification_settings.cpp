#include "bb/platform/NotificationSettings.h"

#include <QJsonDocument>
#include <QJsonObject>

#include "files.h"
#include "internal/state_parse.h"
#include "zunaro/device.h"

namespace bb {
namespace platform {

int NotificationDefaultApplicationSettings::apply() const
{
    QJsonObject o;
    o.insert(QStringLiteral("sound"), int(m_sound));
    o.insert(QStringLiteral("vibrate"), int(m_vibrate));
    o.insert(QStringLiteral("led"), int(m_led));
    o.insert(QStringLiteral("preview"), int(m_preview));
    o.insert(QStringLiteral("vibrate_count"), m_vibrateCount);
    return zplatform::writeFileAtomically(zplatform::notificationSettingsPath(), QJsonDocument(o).toJson(QJsonDocument::Compact),
                                           zplatform::Folder::Create)
        ? 0
        : 1;
}

NotificationApplicationSettings::NotificationApplicationSettings(QObject *parent)
    : QObject(parent)
{
    const zplatform::AppliedSettings s = zplatform::appliedSettings();
    m_sound = NotificationPolicy::Type(s.sound);
    m_vibrate = NotificationPolicy::Type(s.vibrate);
    m_led = NotificationPolicy::Type(s.led);
    m_preview = NotificationPriorityPolicy::Type(s.preview);
}

} // namespace platform
} // namespace bb
