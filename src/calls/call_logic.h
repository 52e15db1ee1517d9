#pragma once
// The decisions and texts of call handling, kept apart from the service so
// they can be checked without an event loop.

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>

#include "bb/system/InvokeRequest.h"
#include "events/event_reader.h"

namespace calls {

inline const QString kCallNotificationKey = QStringLiteral("kvel_hub_call");
constexpr qint64 kPendingInvokeTimeoutMs = 90000;
constexpr qint64 kDuplicateInvokeWindowMs = 1500;
constexpr int kLoggedTextMaxChars = 200;
constexpr int kRingingCallsKept = 16;

// One "call_update" event as the service reads it; absent or unusable
// members read as 0, false or empty.
struct CallUpdate {
    qint64 callId = 0;
    qint64 userId = 0;
    qint64 chatId = 0;
    bool outgoing = false;
    QString state;
    int code = 0;
    QString message;
    QString displayName; // the chat title, else the user name
};

CallUpdate parseCallUpdate(const eventtail::Event &event);

enum class Phase { Ringing, Ended, Other };
Phase phaseOf(const QString &state);

// Notes a ringing update in `ringing`: the calls that rang and have not
// ended, oldest first, as (call id, last ringing update ms); at most
// kRingingCallsKept, and none silent for longer than a call can ring.
// False when an older call rings again while a newer one rings: that update
// must leave the newer call's entry, dialog and pending state alone. A call
// without an id is never remembered.
bool noteRinging(QList<QPair<qint64, qint64>> &ringing, qint64 callId, qint64 nowMs);

// The lock state when a call starts ringing: only 1 and 2 hold the call back,
// so a failed query (-1) rings at once.
bool lockedAtRinging(int lockState);
// The lock state while a call waits: a failed query keeps it waiting.
bool unlockedWhilePending(int lockState);
bool pendingTimedOut(qint64 sinceMs, qint64 nowMs);

// Whether a request for this call repeats one sent moments ago.
bool isDuplicateInvoke(qint64 callId, qint64 lastCallId, qint64 lastMs, qint64 nowMs);

// Backend text made safe for a one-line log entry: at most `maxChars`
// characters, no line breaks or other control characters, UTF-8.
QByteArray loggable(const QString &text, int maxChars);

QString callBody(const QString &userName);
// `choice` is empty for the plain call URI, else "answer" or "decline".
QString callUri(qint64 callId, qint64 chatId, qint64 userId, const QString &choice = QString());
bb::system::InvokeRequest uiRequest(const QString &uri);

} // namespace calls
