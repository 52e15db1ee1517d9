// The dialog that rings over whatever is on screen, with Answer and Decline.
// A press acts only through the invocation the platform sends for the button.

#include "service_main.h"

#include "bb/system/SystemUiButton.h"
#include "calls/call_logic.h"
#include "core/ui_app.h"
#include "zunaro/log.h"

void ZunaroHeadlessService::showIncomingCallDialog(qint64 callId, qint64 chatId, qint64 userId,
                                                   const QString &userName)
{
    if (callId <= 0)
        return;

    const QString name = userName.trimmed();
    const QString body = calls::callBody(name);
    if (incomingCallDialog && incomingCallDialogCallId == callId) {
        // The same call again: only a changed caller name is worth an update.
        if (body != incomingCallDialog->body()) {
            incomingCallDialog->setBody(body);
            incomingCallDialogUserName = name;
        }
        return;
    }

    dismissIncomingCallDialog();

    zplatform::logLine("service: incoming_call dialog show call_id=%lld chat_id=%lld user_id=%lld\n",
                      callId, chatId, userId);
    incomingCallDialog = new bb::platform::NotificationDialog(this);
    incomingCallDialogCallId = callId;
    incomingCallDialogUserName = name;
    incomingCallDialog->setTitle(uiapp::kNotificationTitle);
    incomingCallDialog->setBody(body);
    incomingCallDialog->setRepeat(true);
    incomingCallDialog->appendButton(
        new bb::system::SystemUiButton(QStringLiteral("Answer")),
        calls::uiRequest(calls::callUri(callId, chatId, userId, QStringLiteral("answer"))),
        bb::system::SystemUiResult::ConfirmButtonSelection);
    incomingCallDialog->appendButton(
        new bb::system::SystemUiButton(QStringLiteral("Decline")),
        calls::uiRequest(calls::callUri(callId, chatId, userId, QStringLiteral("decline"))),
        bb::system::SystemUiResult::CancelButtonSelection);
    incomingCallDialog->show();
}

void ZunaroHeadlessService::dismissIncomingCallDialog()
{
    if (incomingCallDialog) {
        incomingCallDialog->cancel();
        incomingCallDialog->deleteLater();
        incomingCallDialog = nullptr;
    }
    incomingCallDialogCallId = 0;
    incomingCallDialogUserName.clear();
}
