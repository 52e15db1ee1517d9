#pragma once

#include <QByteArray>
#include <QMetaType>
#include <QString>
#include <QUrl>

namespace bb {
namespace system {

// One invocation: who is asked (target) to do what (action) with what
// (mime type, uri, data).
class InvokeRequest
{
public:
    QString target() const { return m_target; }
    void setTarget(const QString &target) { m_target = target; }
    QString action() const { return m_action; }
    void setAction(const QString &action) { m_action = action; }
    QString mimeType() const { return m_mimeType; }
    void setMimeType(const QString &mimeType) { m_mimeType = mimeType; }
    QUrl uri() const { return m_uri; }
    void setUri(const QUrl &uri) { m_uri = uri; }
    void setUri(const QString &uri) { m_uri = QUrl(uri); }
    QByteArray data() const { return m_data; }
    void setData(const QByteArray &data) { m_data = data; }

private:
    QString m_target;
    QString m_action;
    QString m_mimeType;
    QUrl m_uri;
    QByteArray m_data;
};

} // namespace system
} // namespace bb

Q_DECLARE_METATYPE(bb::system::InvokeRequest)
