// The Hub entries and the dialog as the service sees them; what carries
// them to the user is the Hub carrier.

#include "bb/platform/Notification.h"
#include "bb/platform/NotificationDialog.h"

#include <atomic>

#include "backends.h"

namespace bb {
namespace platform {

namespace {
quint64 nextDialogId()
{
    static std::atomic<quint64> last {0};
    return ++last;
}

zplatform::ButtonRole buttonRole(bb::system::SystemUiResult::Type role)
{
    switch (role) {
    case bb::system::SystemUiResult::ConfirmButtonSelection:
        return zplatform::ButtonRole::Confirm;
    case bb::system::SystemUiResult::CancelButtonSelection:
        return zplatform::ButtonRole::Cancel;
    case bb::system::SystemUiResult::CustomButtonSelection:
        break;
    }
    return zplatform::ButtonRole::Custom;
}
} // namespace

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
    entry.category = m_category == NotificationCategory::IncomingCall ? zplatform::HubCategory::IncomingCall
                                                                       : zplatform::HubCategory::Message;
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
    : QObject(parent), m_id(nextDialogId())
{
    connect(&zplatform::hubCarrier(), &zplatform::HubCarrier::dialogButtonPressed, this,
            &NotificationDialog::onButtonPressed);
}

NotificationDialog::~NotificationDialog()
{
    cancel();
    for (const Button &b : std::as_const(m_buttons))
        delete b.button;
}

void NotificationDialog::setBody(const QString &body)
{
    m_body = body;
    if (m_shown)
        putOnScreen();
}

void NotificationDialog::appendButton(bb::system::SystemUiButton *button, const bb::system::InvokeRequest &request,
                                      bb::system::SystemUiResult::Type role)
{
    if (!button)
        return;
    m_buttons.append({button, request, role});
}

bool NotificationDialog::putOnScreen() const
{
    zplatform::DialogContent content;
    content.title = m_title;
    content.body = m_body;
    content.repeat = m_repeat;
    for (const Button &b : m_buttons)
        content.buttons.append({b.button->label(), b.request, buttonRole(b.role)});
    return m_shown ? zplatform::hubCarrier().updateDialog(m_id, content)
                   : zplatform::hubCarrier().showDialog(m_id, content);
}

void NotificationDialog::show()
{
    m_shown = false;
    m_shown = putOnScreen();
}

void NotificationDialog::close(const QString &pressedButton)
{
    if (!m_shown)
        return;
    m_shown = false;
    zplatform::hubCarrier().closeDialog(m_id, pressedButton);
}

void NotificationDialog::cancel()
{
    close(QString());
}

void NotificationDialog::onButtonPressed(quint64 dialog, int index)
{
    if (dialog == m_id && index >= 0 && index < m_buttons.size())
        press(m_buttons[index].button->label());
}

bool NotificationDialog::press(const QString &label)
{
    if (!m_shown)
        return false;
    for (const Button &b : std::as_const(m_buttons)) {
        if (b.button->label() != label)
            continue;
        if (!zplatform::sendInvocation(b.request, QStringLiteral("user"), {}))
            return false;
        close(label);
        emit finished();
        return true;
    }
    return false;
}

} // namespace platform
} // namespace bb
