// The Hub and the dialog of the embedded platform, kept as files.

#include "bb/platform/Notification.h"
#include "bb/platform/NotificationDialog.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include "files.h"
#include "invoke_record.h"
#include "zunaro/device.h"

namespace {
QString hubDir()
{
    return platform::platformDir() + QStringLiteral("/hub");
}

QString journalPath()
{
    return hubDir() + QStringLiteral("/journal.jsonl");
}

QString dialogPath()
{
    return platform::platformDir() + QStringLiteral("/dialog.json");
}

void journal(const QString &op, QJsonObject fields)
{
    fields.insert(QStringLiteral("op"), op);
    fields.insert(QStringLiteral("at_ms"), double(platform::nowMs()));
    platform::appendJsonLine(journalPath(), fields);
}

bool validKey(const QString &key)
{
    // The key names a file: keep it to a plain file name.
    if (key.isEmpty() || key == QLatin1String(".") || key == QLatin1String(".."))
        return false;
    return !key.contains(QLatin1Char('/')) && !key.contains(QChar(0));
}
} // namespace

namespace bb {
namespace platform {

Notification::Notification(const QString &key, QObject *parent)
    : QObject(parent), m_key(key)
{
}

Notification::~Notification() = default;

void Notification::setInvokeRequest(const bb::system::InvokeRequest &request)
{
    m_invokeRequest = request;
    m_hasInvokeRequest = true;
}

int Notification::notify()
{
    if (!validKey(m_key))
        return 1;
    QJsonObject o;
    o.insert(QStringLiteral("key"), m_key);
    o.insert(QStringLiteral("type"), int(m_type));
    o.insert(QStringLiteral("title"), m_title);
    o.insert(QStringLiteral("body"), m_body);
    o.insert(QStringLiteral("timestamp_ms"),
             m_timestamp.isValid() ? double(m_timestamp.toMSecsSinceEpoch()) : 0.0);
    o.insert(QStringLiteral("invoke"), m_hasInvokeRequest
                                           ? QJsonValue(::platform::invokeRequestToJson(m_invokeRequest))
                                           : QJsonValue(QJsonValue::Null));
    if (!::platform::writeFileAtomically(hubDir() + QLatin1Char('/') + m_key + QStringLiteral(".json"),
                                         QJsonDocument(o).toJson(QJsonDocument::Compact)))
        return 1;
    journal(QStringLiteral("post"), o);
    return 0;
}

int Notification::deleteFromInbox(const QString &key)
{
    if (!validKey(key))
        return 1;
    QFile::remove(hubDir() + QLatin1Char('/') + key + QStringLiteral(".json"));
    QJsonObject o;
    o.insert(QStringLiteral("key"), key);
    journal(QStringLiteral("delete"), o);
    return 0;
}

NotificationDialog::NotificationDialog(QObject *parent)
    : QObject(parent)
{
}

NotificationDialog::~NotificationDialog()
{
    if (m_shown)
        cancel();
    for (const auto &pair : m_buttons)
        delete pair.first;
}

void NotificationDialog::setBody(const QString &body)
{
    m_body = body;
    if (m_shown)
        writeFile();
}

void NotificationDialog::appendButton(bb::system::SystemUiButton *button,
                                      const bb::system::InvokeRequest &request)
{
    if (!button)
        return;
    m_buttons.append(qMakePair(button, request));
}

bool NotificationDialog::writeFile() const
{
    QJsonArray buttons;
    for (const auto &pair : m_buttons) {
        QJsonObject b;
        b.insert(QStringLiteral("label"), pair.first->label());
        b.insert(QStringLiteral("invoke"), ::platform::invokeRequestToJson(pair.second));
        buttons.append(b);
    }
    QJsonObject o;
    o.insert(QStringLiteral("title"), m_title);
    o.insert(QStringLiteral("body"), m_body);
    o.insert(QStringLiteral("repeat"), m_repeat);
    o.insert(QStringLiteral("buttons"), buttons);
    return ::platform::writeFileAtomically(dialogPath(), QJsonDocument(o).toJson(QJsonDocument::Compact));
}

void NotificationDialog::show()
{
    m_shown = writeFile();
    if (!m_shown)
        return;
    QJsonObject o;
    o.insert(QStringLiteral("title"), m_title);
    o.insert(QStringLiteral("body"), m_body);
    journal(QStringLiteral("dialog_show"), o);
}

void NotificationDialog::cancel()
{
    if (!m_shown)
        return;
    m_shown = false;
    QFile::remove(dialogPath());
    journal(QStringLiteral("dialog_cancel"), QJsonObject());
}

bool NotificationDialog::press(const QString &label)
{
    if (!m_shown)
        return false;
    for (const auto &pair : m_buttons) {
        if (pair.first->label() == label) {
            ::platform::recordInvocation(pair.second, QStringLiteral("user"));
            cancel();
            emit finished();
            return true;
        }
    }
    return false;
}

} // namespace platform
} // namespace bb
