#include "internal/hub_carrier.h"

namespace zplatform {

bool HubCarrier::showDialog(quint64 dialog, const DialogContent &content)
{
    if (!putDialog(dialog, content))
        return false;
    for (qsizetype i = 0; i < m_dialogs.size(); ++i) {
        if (m_dialogs[i].first == dialog)
            m_dialogs.removeAt(i--);
    }
    m_dialogs.append({dialog, content});
    return true;
}

bool HubCarrier::updateDialog(quint64 dialog, const DialogContent &content)
{
    for (auto &shown : m_dialogs) {
        if (shown.first != dialog)
            continue;
        shown.second = content;
        return m_dialogs.last().first != dialog || putDialog(dialog, content);
    }
    return false;
}

void HubCarrier::closeDialog(quint64 dialog, const QString &pressedButton)
{
    const bool onTop = !m_dialogs.isEmpty() && m_dialogs.last().first == dialog;
    for (qsizetype i = 0; i < m_dialogs.size(); ++i) {
        if (m_dialogs[i].first == dialog)
            m_dialogs.removeAt(i--);
    }
    if (!onTop)
        return;
    // A dialog shown earlier and still open comes back on screen.
    if (!m_dialogs.isEmpty())
        putDialog(m_dialogs.last().first, m_dialogs.last().second);
    else
        takeDialogOff(pressedButton);
}

bool HubCarrier::isDialogShown(quint64 dialog) const
{
    for (const auto &shown : m_dialogs) {
        if (shown.first == dialog)
            return true;
    }
    return false;
}

QString HubCarrier::pressOnTop(const QString &label)
{
    if (m_dialogs.isEmpty())
        return QStringLiteral("no dialog on screen");
    const quint64 dialog = m_dialogs.last().first;
    const QList<DialogButton> buttons = m_dialogs.last().second.buttons;
    for (int i = 0; i < buttons.size(); ++i) {
        if (buttons[i].label != label)
            continue;
        emit dialogButtonPressed(dialog, i);
        return isDialogShown(dialog) ? QStringLiteral("could not send the invocation") : QString();
    }
    return QStringLiteral("the dialog has no button %1").arg(label);
}

} // namespace zplatform
