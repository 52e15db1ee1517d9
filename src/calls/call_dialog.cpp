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
    if (calls.incomingCallDialog && calls.incomingCallDialogCallId == callId) {
        // The same call again: only a changed caller name is worth an update.
        if (body != calls.incomingCallDialog->body()) {
            calls.incomingCallDialog->setBody(body);
            calls.incomingCallDialogUserName = name;
        }
        return;
    }

    dismissIncomingCallDialog();

    zplatform::logLine("service: incoming_call dialog show call_id=%lld chat_id=%lld user_id=%lld\n",
                      callId, chatId, userId);
    calls.incomingCallDialog = new bb::platform::NotificationDialog(this);
    calls.incomingCallDialogCallId = callId;
    calls.incomingCallDialogUserName = name;
    calls.incomingCallDialog->setTitle(uiapp::kNotificationTitle);
    calls.incomingCallDialog->setBody(body);
    calls.incomingCallDialog->setRepeat(true);
    calls.incomingCallDialog->appendButton(
        new bb::system::SystemUiButton(QStringLiteral("Answer")),
        calls::uiRequest(calls::callUri(callId, chatId, userId, QStringLiteral("answer"))),
        bb::system::SystemUiResult::ConfirmButtonSelection);
    calls.incomingCallDialog->appendButton(
        new bb::system::SystemUiButton(QStringLiteral("Decline")),
        calls::uiRequest(calls::callUri(callId, chatId, userId, QStringLiteral("decline"))),
        bb::system::SystemUiResult::CancelButtonSelection);
    calls.incomingCallDialog->show();
}

void ZunaroHeadlessService::dismissIncomingCallDialog()
{
    if (calls.incomingCallDialog) {
        calls.incomingCallDialog->cancel();
        calls.incomingCallDialog->deleteLater();
        calls.incomingCallDialog = nullptr;
    }
    calls.incomingCallDialogCallId = 0;
    calls.incomingCallDialogUserName.clear();
}
