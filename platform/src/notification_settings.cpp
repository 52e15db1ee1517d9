#include "bb/platform/NotificationSettings.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>

#include "files.h"
#include "zunaro/device.h"

namespace {
QString settingsPath()
{
    return platform::platformDir() + QStringLiteral("/notification_settings.json");
}
} // namespace

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
    return ::platform::writeFileAtomically(settingsPath(), QJsonDocument(o).toJson(QJsonDocument::Compact)) ? 0 : 1;
}

NotificationApplicationSettings::NotificationApplicationSettings(QObject *parent)
    : QObject(parent)
{
    QFile file(settingsPath());
    if (!file.open(QIODevice::ReadOnly))
        return;
    const QJsonObject o = QJsonDocument::fromJson(file.read(64 * 1024)).object();
    m_sound = NotificationPolicy::Type(o.value(QStringLiteral("sound")).toInt());
    m_vibrate = NotificationPolicy::Type(o.value(QStringLiteral("vibrate")).toInt());
    m_led = NotificationPolicy::Type(o.value(QStringLiteral("led")).toInt());
    m_preview = NotificationPriorityPolicy::Type(o.value(QStringLiteral("preview")).toInt());
}

} // namespace platform
} // namespace bb
