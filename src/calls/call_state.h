#pragma once

#include <QList>
#include <QPair>
#include <QString>

#include <optional>

class QTimer;
namespace bb::platform {
class NotificationDialog;
}

// The incoming call on screen and the one that waits for the device to
// unlock. Held by the service as `calls`.
struct CallState
{
    // The dialog on screen, the call it belongs to and the caller it names.
    bb::platform::NotificationDialog *incomingCallDialog = nullptr;
    qint64 incomingCallDialogCallId = 0;
    QString incomingCallDialogUserName;
    // Runs the pending call's check every second while one waits.
    QTimer *pendingCallInvokeTimer = nullptr;
    // The call that waits for the unlock, its chat, its caller, and since when.
    qint64 pendingCallId = 0;
    qint64 pendingCallChatId = 0;
    qint64 pendingCallUserId = 0;
    qint64 pendingCallSinceMs = 0;
    // The call the Hub call entry belongs to; unknown until this process
    // posts one (the Hub keeps entries across restarts).
    std::optional<qint64> callEntryCallId;
    // Incoming calls that rang and have not ended, oldest first, as
    // (call id, time of its last ringing update).
    QList<QPair<qint64, qint64>> ringingCalls;
    // The call of the last UI invocation and when it went out.
    qint64 lastCallInvokeCallId = 0;
    qint64 lastCallInvokeMs = 0;
};
