#pragma once

#include <QByteArray>
#include <QPointer>
#include <QString>

class QNetworkAccessManager;
class QNetworkReply;
class QTimer;
namespace zplatform {
class NetworkConfigurationManager;
}

// The long poll of the push proxy, its cursor and its statistics. Held by
// the service as `push`.
struct PushState
{
    // Push-poll mode instead of the backend; fixed by the configuration at
    // start-up.
    bool tgpushMode = false;
    QString tgpushPollUrl;
    // Long-poll time-out asked of the proxy.
    int tgpushTimeoutMs = 300000;
    // Next-poll delay after an answer that carried events.
    int tgpushPollDelayOnEventsMs = 5000;

    QNetworkAccessManager *networkAccessManager = nullptr;
    // Tells the online state; netOnline is its last word.
    zplatform::NetworkConfigurationManager *networkConfigManager = nullptr;
    bool netOnline = true;
    // Arms the next poll.
    QTimer *tgpushPollTimer = nullptr;
    // The poll in flight; null when none is. Deleted replies read as null.
    QPointer<QNetworkReply> tgpushReply;
    qint64 tgpushPollStartedMs = 0;
    int tgpushBackoffMs = 0;
    // A poll that is never answered (a proxy that accepts and stays silent,
    // a connection that died without a reset) would block polling for good:
    // every poll gets a deadline, and passing it is a failed poll.
    QTimer *tgpushPollDeadlineTimer = nullptr;
    // Why the service itself aborted the poll in flight (a network error
    // code; 0 when it did not), so the abort counts as a failure rather than
    // as the silent cancel of going offline.
    int tgpushPollAbortError = 0;
    // The answer of the poll in flight, taken from the reply as it arrives
    // (the reply's own buffer stays small), so an answer past the cap is cut
    // off there instead of after the network layer buffered far more.
    QByteArray tgpushAnswer;

    // The push cursor.
    quint64 tgpushSince = 0;
    // Writes the cursor a while after it moved.
    QTimer *tgpushSinceFlushTimer = nullptr;
    // The value the next cursor write stores. The cursor moves only through
    // markTgpushSinceDirty, so while a write is due this equals tgpushSince.
    quint64 tgpushSincePending = 0;
    bool tgpushSinceDirty = false;
    // The cursor as it stood when the oldest news that still waits for its
    // summary came; a cursor write goes no further while a summary waits.
    quint64 tgpushSinceShown = 0;
    // When the cursor became dirty.
    qint64 tgpushSinceDirtyMs = 0;

    // Statistics: polls started, succeeded, timed out, failed; push events
    // received; Hub summaries posted.
    quint64 tgpushStatStarted = 0;
    quint64 tgpushStatOk = 0;
    quint64 tgpushStatTimeout = 0;
    quint64 tgpushStatErr = 0;
    quint64 tgpushStatEvents = 0;
    quint64 tgpushStatHub = 0;
    qint64 tgpushLastPollDurMs = 0;
    // When the statistics line was last written.
    qint64 tgpushStatsLoggedMs = 0;
    int tgpushLastHttpStatus = 0;
    int tgpushLastNetError = 0;
};
