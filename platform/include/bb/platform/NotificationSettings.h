#pragma once

#include <QObject>

namespace bb {
namespace platform {

struct NotificationPolicy {
    enum Type { Default = 0, Allow = 1, Deny = 2 };
};

struct NotificationPriorityPolicy {
    enum Type { Default = 0, Allow = 1, Deny = 2 };
};

// The defaults for the application's notification settings.
class NotificationDefaultApplicationSettings
{
public:
    void setSound(NotificationPolicy::Type value) { m_sound = value; }
    void setVibrate(NotificationPolicy::Type value) { m_vibrate = value; }
    void setLed(NotificationPolicy::Type value) { m_led = value; }
    void setPreview(NotificationPriorityPolicy::Type value) { m_preview = value; }
    void setVibrateCount(int count) { m_vibrateCount = count; }

    // 0 once written, non-zero when the settings cannot be written.
    int apply() const;

private:
    NotificationPolicy::Type m_sound = NotificationPolicy::Default;
    NotificationPolicy::Type m_vibrate = NotificationPolicy::Default;
    NotificationPolicy::Type m_led = NotificationPolicy::Default;
    NotificationPriorityPolicy::Type m_preview = NotificationPriorityPolicy::Default;
    int m_vibrateCount = 0;
};

// The application's current notification settings, as last applied.
class NotificationApplicationSettings : public QObject
{
    Q_OBJECT
public:
    explicit NotificationApplicationSettings(QObject *parent = nullptr);

    bool alertsEnabled() const { return m_alertsEnabled; }
    NotificationPolicy::Type sound() const { return m_sound; }
    NotificationPolicy::Type vibrate() const { return m_vibrate; }
    NotificationPolicy::Type led() const { return m_led; }
    NotificationPriorityPolicy::Type preview() const { return m_preview; }

private:
    bool m_alertsEnabled = true;
    NotificationPolicy::Type m_sound = NotificationPolicy::Default;
    NotificationPolicy::Type m_vibrate = NotificationPolicy::Default;
    NotificationPolicy::Type m_led = NotificationPolicy::Default;
    NotificationPriorityPolicy::Type m_preview = NotificationPriorityPolicy::Default;
};

} // namespace platform
} // namespace bb
