// The long-poll cycle: one request at a time, back-off after failures,
// a slow retry while offline, a pause while the UI is alive.

#include "service_main.h"

#include <QNetworkAccessManager>
#include <QRandomGenerator>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>
#include <QUrl>

#include <climits>
#include <utility>

#include "backend/backend_logic.h"
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

void ZunaroHeadlessService::setUpPush()
{
    push.networkAccessManager = new QNetworkAccessManager(this);
    push.networkConfigManager = new zplatform::NetworkConfigurationManager(this);
    push.tgpushPollTimer = new QTimer(this);
    push.tgpushPollTimer->setSingleShot(true);
    connect(push.tgpushPollTimer, &QTimer::timeout, this, &ZunaroHeadlessService::onTgpushTick);
    push.tgpushSinceFlushTimer = new QTimer(this);
    push.tgpushSinceFlushTimer->setSingleShot(true);
    connect(push.tgpushSinceFlushTimer, &QTimer::timeout, this, &ZunaroHeadlessService::onTgpushSinceFlush);
    push.tgpushPollDeadlineTimer = new QTimer(this);
    push.tgpushPollDeadlineTimer->setSingleShot(true);
    connect(push.tgpushPollDeadlineTimer, &QTimer::timeout, this, &ZunaroHeadlessService::onTgpushPollDeadline);

    push.netOnline = push.networkConfigManager->isOnline();
    connect(push.networkConfigManager, &zplatform::NetworkConfigurationManager::onlineStateChanged, this,
            &ZunaroHeadlessService::onTgpushOnlineChanged);
    zplatform::logLine("service: net isOnline=%d\n", push.netOnline ? 1 : 0);

    loadTgpushConfig();
}

void ZunaroHeadlessService::scheduleTgpushPoll(int delayMs)
{
    if (!serviceActive || !push.tgpushMode || tgpushPollInFlight() || uiAliveRecent)
        return;
    push.tgpushPollTimer->stop();
    push.tgpushPollTimer->start(push::clampPollDelayMs(delayMs));
}

void ZunaroHeadlessService::cancelTgpushPoll()
{
    push.tgpushPollTimer->stop();
    push.tgpushPollDeadlineTimer->stop();
    if (QNetworkReply *reply = push.tgpushReply) {
        // abort() finishes the reply at once, so onTgpushPollFinished still
        // sees it as the current poll and accounts for it.
        reply->abort();
        push.tgpushReply = nullptr;
        reply->deleteLater();
    }
    push.tgpushAnswer = QByteArray();
}

void ZunaroHeadlessService::pollTgpushMaybe()
{
    if (!serviceActive) {
        cancelTgpushPoll();
        dropPendingSummary();
        clearHubSummaryState();
        return;
    }
    if (!push.tgpushMode || tgpushPollInFlight() || uiAliveRecent)
        return;
    if (!push.netOnline) {
        scheduleTgpushPoll(jitterDelayMs(kOfflineRetryMs));
        return;
    }

    ++push.tgpushStatStarted;
    push.tgpushPollStartedMs = zplatform::nowMs();
    if (push.tgpushStatStarted == 1)
        maybeLogTgpushStats("first_poll", true);

    QNetworkRequest request(
        QUrl(push::pollRequestUrl(push.tgpushPollUrl, push.tgpushSince, push.tgpushTimeoutMs), QUrl::TolerantMode));
    request.setRawHeader("User-Agent", "kvel-headless/0.1");
    QNetworkReply *reply = push.networkAccessManager->get(request);
    reply->setReadBufferSize(kReplyBufferBytes);
    push.tgpushReply = reply;
    push.tgpushAnswer = QByteArray();
    push.tgpushPollAbortError = 0;
    connect(reply, &QNetworkReply::finished, this, &ZunaroHeadlessService::onTgpushPollFinished);
    connect(reply, &QNetworkReply::readyRead, this, [this, reply] {
        if (reply == push.tgpushReply)
            readTgpushAnswer();
    });
    push.tgpushPollDeadlineTimer->start(push::pollDeadlineMs(push.tgpushTimeoutMs));
}

void ZunaroHeadlessService::readTgpushAnswer()
{
    if (push.tgpushPollAbortError == 0 && !appendTgpushAnswer(push.tgpushReply))
        abortTgpushPoll(kNetTooLargeError);
}

// Moves what the reply holds to the end of the answer, read straight into
// its buffer. False when the answer would pass the cap: it is then given
// back at once, not kept a moment longer than it takes to notice.
bool ZunaroHeadlessService::appendTgpushAnswer(QNetworkReply *reply)
{
    const qint64 available = reply->bytesAvailable();
    const qint64 at = push.tgpushAnswer.size();
    if (at + available > kMaxAnswerBytes) {
        push.tgpushAnswer = QByteArray();
        return false;
    }
    if (at + available > push.tgpushAnswer.capacity() && at + available > kAnswerSizedOnceFrom)
        push.tgpushAnswer.reserve(kMaxAnswerBytes);
    push.tgpushAnswer.resize(at + available);
    const qint64 n = reply->read(push.tgpushAnswer.data() + at, available);
    push.tgpushAnswer.resize(at + qMax<qint64>(n, 0));
    return true;
}

void ZunaroHeadlessService::onTgpushPollDeadline()
{
    if (push.tgpushReply)
        abortTgpushPoll(kNetTimeoutError);
}

void ZunaroHeadlessService::abortTgpushPoll(int reason)
{
    // The reason marks the abort as a failed poll, not as the silent cancel
    // of going offline.
    push.tgpushPollAbortError = reason;
    push.tgpushReply->abort();
}

void ZunaroHeadlessService::onTgpushPollFinished()
{
    auto *reply = qobject_cast<QNetworkReply *>(sender());
    if (!reply)
        return;
    // A reply given up earlier says nothing about the poll now in flight:
    // letting it clear the in-flight flag would allow a second request.
    if (reply != push.tgpushReply) {
        reply->deleteLater();
        return;
    }
    push.tgpushReply = nullptr;
    push.tgpushPollDeadlineTimer->stop();

    const int httpStatus = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    int netError = reply->error();
    QByteArray errorText = reply->errorString().toUtf8();
    // The rest of the answer; an aborted reply is closed and has none.
    if (push.tgpushPollAbortError == 0 && reply->isOpen() && !appendTgpushAnswer(reply))
        push.tgpushPollAbortError = kNetTooLargeError;
    const QByteArray body = std::exchange(push.tgpushAnswer, QByteArray());
    reply->deleteLater();
    if (push.tgpushPollAbortError != 0) {
        netError = push.tgpushPollAbortError;
        errorText = push.tgpushPollAbortError == kNetTimeoutError
            ? QByteArray("no answer within ") + QByteArray::number(push::pollDeadlineMs(push.tgpushTimeoutMs)) + " ms"
            : QByteArray("answer larger than ") + QByteArray::number(kMaxAnswerBytes) + " bytes";
        push.tgpushPollAbortError = 0;
    }

    if (!serviceActive)
        return;

    push.tgpushLastPollDurMs = push.tgpushPollStartedMs > 0 ? zplatform::nowMs() - push.tgpushPollStartedMs : 0;
    push.tgpushLastHttpStatus = httpStatus;
    push.tgpushLastNetError = netError;

    if (!push.netOnline && netError == QNetworkReply::OperationCanceledError) {
        scheduleTgpushPoll(jitterDelayMs(kOfflineRetryMs));
        return;
    }
    if (httpStatus == 200 && netError == QNetworkReply::NoError) {
        takeTgpushAnswer(body);
        return;
    }

    ++push.tgpushStatErr;
    zplatform::logLine("service: tgpush poll failed http=%d err=%d (%s)\n", httpStatus, netError,
                      errorText.constData());
    maybeLogTgpushStats("poll_error", true);
    stepTgpushBackoff();
    scheduleTgpushPoll(jitterDelayMs(push.tgpushBackoffMs));
}

void ZunaroHeadlessService::stepTgpushBackoff()
{
    push.tgpushBackoffMs = push::nextBackoffMs(push.tgpushBackoffMs);
}

void ZunaroHeadlessService::onTgpushOnlineChanged(bool online)
{
    push.netOnline = online;
    zplatform::logLine("service: net onlineStateChanged=%d\n", online ? 1 : 0);
    if (online) {
        if (!push.tgpushMode || uiAliveRecent)
            return;
        push.tgpushBackoffMs = 0;
        scheduleTgpushPoll(0);
        return;
    }
    cancelTgpushPoll();
    if (push.tgpushMode)
        scheduleTgpushPoll(jitterDelayMs(kOfflineRetryMs));
}

void ZunaroHeadlessService::onTgpushTick()
{
    pollTgpushMaybe();
}

int ZunaroHeadlessService::jitterDelayMs(int baseMs)
{
    return backend::jitterWithDraw(baseMs, int(QRandomGenerator::global()->bounded(INT_MAX)));
}
