// The Hub entries and the dialog as the service sees them; what carries
// them to the user is the Hub carrier.

#include "bb/platform/Notification.h"
#include "bb/platform/NotificationDialog.h"

#include "backends.h"
#include "hub_carrier.h"
#include "live_objects.h"

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
    zplatform::HubEntry entry;
    entry.key = m_key;
    entry.type = int(m_type);
    entry.title = m_title;
    entry.body = m_body;
    entry.timestampMs = m_timestamp.isValid() ? m_timestamp.toMSecsSinceEpoch() : 0;
    entry.hasInvokeRequest = m_hasInvokeRequest;
    entry.invokeRequest = m_invokeRequest;
    return zplatform::hubCarrier().post(entry) ? 0 : 1;
}

int Notification::deleteFromInbox(const QString &key)
{
    return zplatform::hubCarrier().remove(key) ? 0 : 1;
}

NotificationDialog::NotificationDialog(QObject *parent)
    : QObject(parent)
{
}

NotificationDialog::~NotificationDialog()
{
    cancel();
    for (const auto &pair : std::as_const(m_buttons))
        delete pair.first;
}

void NotificationDialog::setBody(const QString &body)
{
    m_body = body;
    if (m_shown && zplatform::live::dialogOnTop() == this)
        putOnScreen();
}

void NotificationDialog::appendButton(bb::system::SystemUiButton *button,
                                      const bb::system::InvokeRequest &request)
{
    if (!button)
        return;
    m_buttons.append(qMakePair(button, request));
}

bool NotificationDialog::hasButton(const QString &label) const
{
    for (const auto &pair : m_buttons) {
        if (pair.first->label() == label)
            return true;
    }
    return false;
}

bool NotificationDialog::putOnScreen() const
{
    zplatform::DialogContent content;
    content.title = m_title;
    content.body = m_body;
    content.repeat = m_repeat;
    for (const auto &pair : m_buttons)
        content.buttons.append(qMakePair(pair.first->label(), pair.second));
    return zplatform::hubCarrier().showDialog(content);
}

void NotificationDialog::show()
{
    if (!putOnScreen())
        return;
    m_shown = true;
    zplatform::live::dialogShown(this);
}

void NotificationDialog::close(const QString &pressedButton)
{
    if (!m_shown)
        return;
    m_shown = false;
    const bool onTop = zplatform::live::dialogOnTop() == this;
    zplatform::live::dialogClosed(this);
    if (!onTop)
        return;
    // A dialog shown earlier and still open comes back on screen.
    if (NotificationDialog *below = zplatform::live::dialogOnTop())
        below->putOnScreen();
    else
        zplatform::hubCarrier().closeDialog(pressedButton);
}

void NotificationDialog::cancel()
{
    close(QString());
}

bool NotificationDialog::press(const QString &label)
{
    if (!m_shown)
        return false;
    for (const auto &pair : std::as_const(m_buttons)) {
        if (pair.first->label() != label)
            continue;
        if (!zplatform::sendInvocation(pair.second, QStringLiteral("user"), {}))
            return false;
        close(label);
        emit finished();
        return true;
    }
    return false;
}

} // namespace platform
} // namespace bb
