#include "calls/call_logic.h"

#include "core/ui_app.h"
#include "zunaro/text.h"

namespace calls {

namespace {
// A text member of a call: a string or a number, trimmed.
QString readText(const eventtail::JsonValue &value)
{
    const bool text = value.kind == eventtail::JsonValue::String || value.kind == eventtail::JsonValue::Integer
        || value.kind == eventtail::JsonValue::Double;
    return text ? eventtail::toText(value).trimmed() : QString();
}
} // namespace

CallUpdate parseCallUpdate(const eventtail::Event &event)
{
    CallUpdate u;
    u.callId = eventtail::toInt64(event.callId);
    u.userId = eventtail::toInt64(event.userId);
    u.chatId = eventtail::toInt64(event.chatId);
    u.outgoing = eventtail::toBool(event.outgoing);
    u.state = readText(event.state);
    u.code = eventtail::toInt32(event.code);
    u.message = readText(event.message);
    u.displayName = readText(event.chatTitle);
    if (u.displayName.isEmpty())
        u.displayName = readText(event.userName);
    return u;
}

Phase phaseOf(const QString &state)
{
    if (state == QLatin1String("callStatePending"))
        return Phase::Ringing;
    if (state == QLatin1String("callStateDiscarded") || state == QLatin1String("callStateError")
        || state == QLatin1String("callStateReady"))
        return Phase::Ended;
    return Phase::Other;
}

bool noteRinging(QList<QPair<qint64, qint64>> &ringing, qint64 callId, qint64 nowMs)
{
    ringing.removeIf([nowMs](const QPair<qint64, qint64> &c) {
        return nowMs - c.second > kPendingInvokeTimeoutMs;
    });
    if (callId <= 0)
        return true;
    for (qsizetype i = 0; i < ringing.size(); ++i) {
        if (ringing[i].first == callId) {
            ringing[i].second = nowMs;
            return i == ringing.size() - 1;
        }
    }
    ringing.append({callId, nowMs});
    if (ringing.size() > kRingingCallsKept)
        ringing.removeFirst();
    return true;
}

bool lockedAtRinging(int lockState)
{
    return lockState == 1 || lockState == 2;
}

bool unlockedWhilePending(int lockState)
{
    return lockState != -1 && !lockedAtRinging(lockState);
}

bool pendingTimedOut(qint64 sinceMs, qint64 nowMs)
{
    return sinceMs > 0 && nowMs - sinceMs > kPendingInvokeTimeoutMs;
}

bool isDuplicateInvoke(qint64 callId, qint64 lastCallId, qint64 lastMs, qint64 nowMs)
{
    return callId > 0 && callId == lastCallId && lastMs > 0
        && nowMs - lastMs < kDuplicateInvokeWindowMs;
}

QByteArray loggable(const QString &text, int maxChars)
{
    QString out = zplatform::leftWhole(text, maxChars).toString();
    for (QChar &c : out) {
        if (c.category() == QChar::Other_Control || c == QChar::LineSeparator
            || c == QChar::ParagraphSeparator)
            c = QLatin1Char(' ');
    }
    return out.toUtf8();
}

QString callBody(const QString &userName)
{
    const QString name = userName.trimmed();
    return name.isEmpty() ? QStringLiteral("Incoming call")
                          : QStringLiteral("Incoming call from %1").arg(name);
}

QString callUri(qint64 callId, qint64 chatId, qint64 userId, const QString &choice)
{
    QString uri = chatId > 0
        ? QStringLiteral("zunaro://call?chat_id=%1&call_id=%2&user_id=%3").arg(chatId).arg(callId).arg(userId)
        : QStringLiteral("zunaro://call?call_id=%1&user_id=%2").arg(callId).arg(userId);
    if (!choice.isEmpty())
        uri += QStringLiteral("&auto=") + choice;
    return uri;
}

bb::system::InvokeRequest uiRequest(const QString &uri)
{
    bb::system::InvokeRequest request = uiapp::startRequest(uri);
    request.setMimeType(QStringLiteral("text/plain"));
    return request;
}

} // namespace calls
