#pragma once

#include <QDateTime>
#include <QObject>
#include <QString>

#include "bb/system/InvokeRequest.h"

namespace bb {
namespace platform {

struct NotificationType {
    enum Type { Default = 0, AllAlertsOff = 1, HubOff = 2 };
};

// What an entry is about. A platform may show a call differently from a
// message, and with previews off shows of a message only its first line.
struct NotificationCategory {
    enum Type { Message = 0, IncomingCall = 1 };
};

// A Hub entry, identified by its key. Posting a key again replaces the
// entry.
class Notification : public QObject
{
    Q_OBJECT
public:
    explicit Notification(const QString &key, QObject *parent = nullptr);
    ~Notification() override;

    QString key() const { return m_key; }
    void setType(NotificationType::Type type) { m_type = type; }
    void setCategory(NotificationCategory::Type category) { m_category = category; }
    void setTitle(const QString &title) { m_title = title; }
    void setBody(const QString &body) { m_body = body; }
    void setTimestamp(const QDateTime &timestamp) { m_timestamp = timestamp; }
    void setInvokeRequest(const bb::system::InvokeRequest &request);

    // 0 once the entry is in the Hub, non-zero when it could not be posted.
    int notify();

    // Removes the entry with this key; removing an absent key is not an
    // error. 0 on success.
    static int deleteFromInbox(const QString &key);

private:
    QString m_key;
    NotificationType::Type m_type = NotificationType::Default;
    NotificationCategory::Type m_category = NotificationCategory::Message;
    QString m_title;
    QString m_body;
    QDateTime m_timestamp;
    bool m_hasInvokeRequest = false;
    bb::system::InvokeRequest m_invokeRequest;
};

} // namespace platform
} // namespace bb
