// The long-poll cycle: one request at a time, back-off after failures,
// a slow retry while offline, a pause while the UI is alive.

#include "service_main.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>
#include <QUrl>

#include <utility>

#include "push/poll_rules.h"
#include "zunaro/device.h"
#include "zunaro/log.h"

namespace {
constexpr int kOfflineRetryMs = 60000;
// Answers are a few kilobytes; a proxy that streams without end must not
// take the phone's memory with it.
constexpr qint64 kMaxAnswerBytes = 64 * 1024 * 1024;
// What the reply may hold before the service takes it: the network layer
// stops reading from the connection beyond this, so nothing piles up
// unseen past the cap.
constexpr qint64 kReplyBufferBytes = 256 * 1024;
// Up to this an answer grows as a byte array does. Past it its buffer is
// sized once for the cap: growing by doubling would hold the old buffer and
// one twice its size for a moment, nearly twice the cap at the end.
constexpr qint64 kAnswerSizedOnceFrom = 1024 * 1024;
constexpr int kNetTimeoutError = QNetworkReply::TimeoutError;
constexpr int kNetTooLargeError = QNetworkReply::UnknownContentError;
} // namespace

void ZunaroHeadlessService::scheduleTgpushPoll(int delayMs)
{
    if (!serviceActive || !tgpushMode || tgpushPollInFlight() || uiAliveRecent)
        return;
    tgpushPollTimer->stop();
    tgpushPollTimer->start(push::clampPollDelayMs(delayMs));
}

void ZunaroHeadlessService::cancelTgpushPoll()
{
    tgpushPollTimer->stop();
    tgpushPollDeadlineTimer->stop();
    if (QNetworkReply *reply = tgpushReply) {
        // abort() finishes the reply at once, so onTgpushPollFinished still
        // sees it as the current poll and accounts for it.
        reply->abort();
        tgpushReply = nullptr;
        reply->deleteLater();
    }
    tgpushAnswer = QByteArray();
}

void ZunaroHeadlessService::pollTgpushMaybe()
{
    if (!serviceActive) {
        cancelTgpushPoll();
        dropPendingSummary();
        clearHubSummaryState();
        return;
    }
    if (!tgpushMode || tgpushPollInFlight() || uiAliveRecent)
        return;
    if (!netOnline) {
        scheduleTgpushPoll(jitterDelayMs(kOfflineRetryMs));
        return;
    }

    ++tgpushStatStarted;
    tgpushPollStartedMs = zplatform::nowMs();
    if (tgpushStatStarted == 1)
        maybeLogTgpushStats("first_poll", true);

    QNetworkRequest request(
        QUrl(push::pollRequestUrl(tgpushPollUrl, tgpushSince, tgpushTimeoutMs), QUrl::TolerantMode));
    request.setRawHeader("User-Agent", "kvel-headless/0.1");
    QNetworkReply *reply = networkAccessManager->get(request);
    reply->setReadBufferSize(kReplyBufferBytes);
    tgpushReply = reply;
    tgpushAnswer = QByteArray();
    tgpushPollAbortError = 0;
    connect(reply, &QNetworkReply::finished, this, &ZunaroHeadlessService::onTgpushPollFinished);
    connect(reply, &QNetworkReply::readyRead, this, [this, reply] {
        if (reply == tgpushReply)
            readTgpushAnswer();
    });
    tgpushPollDeadlineTimer->start(push::pollDeadlineMs(tgpushTimeoutMs));
}

void ZunaroHeadlessService::readTgpushAnswer()
{
    if (tgpushPollAbortError == 0 && !appendTgpushAnswer(tgpushReply))
        abortTgpushPoll(kNetTooLargeError);
}

// Moves what the reply holds to the end of the answer, read straight into
// its buffer. False when the answer would pass the cap: it is then given
// back at once, not kept a moment longer than it takes to notice.
bool ZunaroHeadlessService::appendTgpushAnswer(QNetworkReply *reply)
{
    const qint64 available = reply->bytesAvailable();
    const qint64 at = tgpushAnswer.size();
    if (at + available > kMaxAnswerBytes) {
        tgpushAnswer = QByteArray();
        return false;
    }
    if (at + available > tgpushAnswer.capacity() && at + available > kAnswerSizedOnceFrom)
        tgpushAnswer.reserve(kMaxAnswerBytes);
    tgpushAnswer.resize(at + available);
    const qint64 n = reply->read(tgpushAnswer.data() + at, available);
    tgpushAnswer.resize(at + qMax<qint64>(n, 0));
    return true;
}

void ZunaroHeadlessService::onTgpushPollDeadline()
{
    if (tgpushReply)
        abortTgpushPoll(kNetTimeoutError);
}

void ZunaroHeadlessService::abortTgpushPoll(int reason)
{
    // The reason marks the abort as a failed poll, not as the silent cancel
    // of going offline.
    tgpushPollAbortError = reason;
    tgpushReply->abort();
}

void ZunaroHeadlessService::onTgpushPollFinished()
{
    auto *reply = qobject_cast<QNetworkReply *>(sender());
    if (!reply)
        return;
    // A reply given up earlier says nothing about the poll now in flight:
    // letting it clear the in-flight flag would allow a second request.
    if (reply != tgpushReply) {
        reply->deleteLater();
        return;
    }
    tgpushReply = nullptr;
    tgpushPollDeadlineTimer->stop();

    const int httpStatus = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    int netError = reply->error();
    QByteArray errorText = reply->errorString().toUtf8();
    // The rest of the answer; an aborted reply is closed and has none.
    if (tgpushPollAbortError == 0 && reply->isOpen() && !appendTgpushAnswer(reply))
        tgpushPollAbortError = kNetTooLargeError;
    const QByteArray body = std::exchange(tgpushAnswer, QByteArray());
    reply->deleteLater();
    if (tgpushPollAbortError != 0) {
        netError = tgpushPollAbortError;
        errorText = tgpushPollAbortError == kNetTimeoutError
            ? QByteArray("no answer within ") + QByteArray::number(push::pollDeadlineMs(tgpushTimeoutMs)) + " ms"
            : QByteArray("answer larger than ") + QByteArray::number(kMaxAnswerBytes) + " bytes";
        tgpushPollAbortError = 0;
    }

    if (!serviceActive)
        return;

    tgpushLastPollDurMs = tgpushPollStartedMs > 0 ? zplatform::nowMs() - tgpushPollStartedMs : 0;
    tgpushLastHttpStatus = httpStatus;
    tgpushLastNetError = netError;

    if (!netOnline && netError == QNetworkReply::OperationCanceledError) {
        scheduleTgpushPoll(jitterDelayMs(kOfflineRetryMs));
        return;
    }
    if (httpStatus == 200 && netError == QNetworkReply::NoError) {
        takeTgpushAnswer(body);
        return;
    }

    ++tgpushStatErr;
    zplatform::logLine("service: tgpush poll failed http=%d err=%d (%s)\n", httpStatus, netError,
                      errorText.constData());
    maybeLogTgpushStats("poll_error", true);
    stepTgpushBackoff();
    scheduleTgpushPoll(jitterDelayMs(tgpushBackoffMs));
}

void ZunaroHeadlessService::stepTgpushBackoff()
{
    tgpushBackoffMs = push::nextBackoffMs(tgpushBackoffMs);
}

void ZunaroHeadlessService::onTgpushOnlineChanged(bool online)
{
    netOnline = online;
    zplatform::logLine("service: net onlineStateChanged=%d\n", online ? 1 : 0);
    if (online) {
        if (!tgpushMode || uiAliveRecent)
            return;
        tgpushBackoffMs = 0;
        scheduleTgpushPoll(0);
        return;
    }
    cancelTgpushPoll();
    if (tgpushMode)
        scheduleTgpushPoll(jitterDelayMs(kOfflineRetryMs));
}
