#pragma once

#include <QByteArrayView>
#include <QHash>
#include <QList>
#include <QMap>
#include <QObject>
#include <QPair>
#include <QPointer>
#include <QProcess>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QVariantMap>

#include <optional>

#include "bb/AbstractBpsEventHandler.h"
#include "bb/Application.h"
#include "bb/platform/NotificationDialog.h"
#include "bb/system/InvokeManager.h"
#include "events/summary_logic.h"
#include "zunaro/network.h"

namespace calls {
struct CallUpdate;
}

class QFileSystemWatcher;
class QNetworkAccessManager;
class QNetworkReply;
class QSocketNotifier;
class QTimer;

// The headless service: keeps the backend running while the UI wants it,
// relays the UI's commands, follows the backend's events and turns them into
// Hub notifications, the call dialog and invocations of the UI. In push mode
// it long-polls a push proxy instead of running the backend.
class ZunaroHeadlessService : public QObject, public bb::AbstractBpsEventHandler
{
    Q_OBJECT
public:
    explicit ZunaroHeadlessService(bb::Application *app);
    ~ZunaroHeadlessService() override;

    // Not 0 when the service cannot do its work here (its command socket
    // cannot be opened): the status its process ends with, before the event
    // loop runs.
    int startFailureStatus = 0;

    using HubSummaryLine = hubsummary::SummaryLine;

    // Environment-list utilities.
    static void load_env_file(QStringList &env, const QString &path);
    static void upsert_env(QStringList &env, const QString &key, const QString &value);
    static QString get_env_value(const QStringList &env, const QString &key);

    static bool parseEnvFile(const QString &path, QMap<QString, QString> &out);
    // The answer scan reads its fields through push::extractU64 directly;
    // this stays as the class's own entry to the same reader.
    static bool extractU64Field(const QByteArray &body, const char *field, quint64 &out);
    static QString simplifyLine(const QString &text);
    static int jitterDelayMs(int baseMs);

    // The platform's events: the device unlocked runs the pending call's
    // check at once, ahead of its tick.
    void event(bps_event_t *event) override;
    // QObject's own event() stays in view beside the platform's.
    using QObject::event;

private slots:
    void onInvoked(bb::system::InvokeRequest request);
    void onTick();
    void onCmdSocketActivated(int fd);
    void onEventsTailTick();
    void onPendingIncomingCallInvokeTick();
    void onTgpushTick();
    void onTgpushNotifyTimer();
    void onTgpushSinceFlush();
    void onTgpushOnlineChanged(bool online);
    void onTgpushPollFinished();
    void onBackendFinished(int exitCode, QProcess::ExitStatus status);
    // Launches the backend like a tick would; kept as the public way to ask
    // for a launch, though nothing in this program connects to it today.
    void startBackendAttempt();

private:
    friend class ServiceTest; // each test program defines its own
    friend class ServiceBench;

    // core
    QVariantMap statusSnapshot() const;
    bool isUiAliveRecent() const;
    bool isUiRunningActive() const;
    void applyNotificationDefaultsOnce();
    void setUpCmdSocket();
    void writeHubOpenRequest(const QString &screen, qint64 chatId, const QString &reason);
    // The tick runs while this holds; each way work comes back wakes it.
    bool tickWanted() const;
    void wakeTick();

    // backend
    QStringList buildBackendEnvironment() const;
    void startBackend();
    void stopBackend();
    // Every way out of the process that the service controls (the end of
    // the event loop, the service's destruction): the backend stops and the
    // held-back push cursor is written.
    void stopOnExit();
    QString backendExecutablePath() const;
    QString backendPidFilePath() const;
    bool backendExecutableThere();
    void noteFailedLaunch();
    void recordLaunchedBackend(int pid, int inputFd);
    void stopLeftoverBackend();
    void sendLine(const QString &line);
    void reapBackend();
    void drainCmdSocket();
    void flushPendingBackendLines();
    void queuePendingBackendLines();
    void resumeForCommand();
    bool queueBackendLine(const QString &line);
    void writeBackendInput();
    void closeBackendInput();
    void reportDroppedBackendInput();

    // events
    void skipExistingEvents();
    void tailBackendEvents();
    // Reads what the held events file gained; false when the pass stopped at
    // its bound and the rest waits for the next turn.
    bool readHeldEventsFile();
    void restartEventsFile();
    void setUpEventsWatch();
    void watchEventsFile();
    void queueEventsPass();
    void enqueueHubSummaryMessage(const hubsummary::Message &message);
    void applyChatUnread(qint64 chatId, int unreadCount);
    void postHubSummary(qint64 nowMs);
    void clearHubSummaryState();
    void dispatchBackendEvent(QByteArrayView line);
    bool uiRunningForEvents() const;

    // calls
    void handleCallUpdate(const calls::CallUpdate &u);
    void clearPendingIncomingCall();
    void showIncomingCallDialog(qint64 callId, qint64 chatId, qint64 userId, const QString &userName);
    void dismissIncomingCallDialog();
    void bringUiToForegroundForIncomingCall(qint64 callId, qint64 chatId, qint64 userId);
    void postIncomingCallNotification(qint64 callId, qint64 chatId, qint64 userId, const QString &userName);

    // push
    void loadTgpushConfig();
    void scheduleTgpushPoll(int delayMs);
    void cancelTgpushPoll();
    void pollTgpushMaybe();
    void flushTgpushSince(bool force);
    void enqueueTgpushNotification(int count);
    void schedulePendingTgpushNotification();
    // Forgets the summary that waits to be posted, with its timer.
    void dropPendingSummary();
    void postPendingTgpushNotification(bool force);
    void maybeLogTgpushStats(const char *reason, bool force);
    void onTgpushPollDeadline();
    void abortTgpushPoll(int reason);
    void stepTgpushBackoff();
    void takeTgpushAnswer(const QByteArray &body);
    void markTgpushSinceDirty();
    // The waiting summary was posted or dropped: the cursor may pass its news.
    void noteTgpushNewsShown();
    // A poll is outstanding exactly while its reply is held.
    bool tgpushPollInFlight() const { return !tgpushReply.isNull(); }
    void readTgpushAnswer();
    bool appendTgpushAnswer(QNetworkReply *reply);

    // Members in their declared order; the constructor establishes each
    // initial value.
    bb::system::InvokeManager *invokeManager;
    int backendPid = -1;
    int backendStdinFd = -1;
    QTimer *tickTimer;
    QTimer *eventsTailTimer;
    QNetworkAccessManager *networkAccessManager;
    zplatform::NetworkConfigurationManager *networkConfigManager;
    QTimer *tgpushPollTimer;
    QTimer *tgpushNotifyTimer;
    // The poll in flight; null when none is. Deleted replies read as null.
    QPointer<QNetworkReply> tgpushReply;
    quint64 tgpushSince = 0;
    int tgpushTimeoutMs = 300000;
    QTimer *tgpushSinceFlushTimer;
    // The value the next cursor write stores. The cursor moves only through
    // markTgpushSinceDirty, so while a write is due this equals tgpushSince.
    quint64 tgpushSincePending = 0;
    bool tgpushSinceDirty = false;
    // The cursor as it stood when the oldest news that still waits for its
    // summary came; a cursor write goes no further while a summary waits.
    quint64 tgpushSinceShown = 0;
    qint64 tgpushSinceDirtyMs = 0;
    QString tgpushPollUrl;
    bool tgpushMode = false;
    int tgpushBackoffMs = 0;
    quint64 tgpushStatStarted = 0;
    quint64 tgpushStatOk = 0;
    quint64 tgpushStatTimeout = 0;
    quint64 tgpushStatErr = 0;
    quint64 tgpushStatEvents = 0;
    quint64 tgpushStatHub = 0;
    qint64 tgpushPollStartedMs = 0;
    qint64 tgpushLastPollDurMs = 0;
    qint64 tgpushStatsLoggedMs = 0;
    int tgpushLastHttpStatus = 0;
    int tgpushLastNetError = 0;
    bool netOnline = true;
    quint64 pendingNotifyCount = 0;
    qint64 lastNotifyPostMs = 0;
    int notifyMinIntervalMs = 5000;
    int notifyCoalesceMs = 5000;
    QSet<qint64> hubSummaryChatIds;
    QList<HubSummaryLine> hubSummaryLines;
    qint64 hubSummaryLatestDate = 0;
    quint64 hubSummaryMessageCount = 0;
    int hubSummaryMaxLines = 15;
    int hubSummaryMaxLinesPerChat = 5;
    QHash<qint64, int> chatUnreadCounts;
    QHash<qint64, int> hubUnreadCounts;
    quint64 hubUnreadTotal = 0;
    int tgpushPollDelayOnEventsMs = 5000;
    int uiRunningMaxAgeMs = 15000;
    int uiAliveMaxAgeMs = 60000;
    bool uiAliveRecent = false;
    qint64 pendingNotifySinceMs = 0;
    int notifyLinesWaitMs = 8000;
    QString lastHubSummaryText;
    qint64 lastHubSummaryMs = 0;
    int backendRestartAttempts = 0;
    qint64 backendNextStartMs = 0;
    qint64 backendStartedMs = 0;
    bb::platform::NotificationDialog *incomingCallDialog = nullptr;
    qint64 incomingCallDialogCallId = 0;
    QString incomingCallDialogUserName;
    QTimer *pendingCallInvokeTimer;
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
    bool bpsInitialized = false;
    qint64 lastCallInvokeCallId = 0;
    qint64 lastCallInvokeMs = 0;
    QString appDirPath;
    QString dataDir;
    QString eventsFilePath;
    qint64 eventsFileOffset = 0;
    // The bytes after the last line feed read, kept undecoded: a character
    // is only decoded once its line is whole.
    QByteArray eventsPartialLine;
    int cmdSocketFd = -1;
    QSocketNotifier *cmdSocketNotifier = nullptr;
    bool serviceActive = true;
    bool backendWanted = false;
    QStringList pendingBackendLines;

    // Members that keep the service bounded and responsive under a hostile
    // or stalled neighbour. Each subsystem keeps its own below, with a
    // comment saying what it guards against.

    // events: the tail reads in bounded chunks and drops a line that grows
    // past its bound; the rest of that line, up to its line feed, is skipped
    // too. The skipping holds while the offset is where it was left (-1: not
    // skipping), so whoever re-seeds the offset ends it without knowing of it.
    qint64 eventsLongLineSkipOffset = -1;
    // One pass can hand the handlers many thousands of lines: whether the UI
    // is in front is read from its file once per pass, not once per line
    // (1 or 0 during a pass, -1 outside one, where the file is read).
    int eventsPassUiRunning = -1;
    // (device, inode) of the file the offset counts in; (0, 0) while none is
    // known. Another file put in place is read from its beginning.
    QPair<quint64, quint64> eventsFileIdentity;
    // That file, held open so that its identity cannot pass to another file;
    // -1 while none is known.
    int eventsFileHeldFd = -1;
    // That file's first bytes as read, up to eventtail::kHeadBytes: one
    // rewritten in place from its start no longer begins with them, and is
    // read again from 0.
    QByteArray eventsFileHead;
    // A pass also runs as soon as the file or its folder changes, at most
    // one per turn of the event loop; null when no watch could be set up,
    // and the tick alone reads the file.
    QFileSystemWatcher *eventsWatcher = nullptr;
    bool eventsPassQueued = false;
    // The read buffer, kept from one pass to the next while a large append
    // is read in bounded passes, given back once a pass reaches the end.
    QByteArray eventsReadBuffer;

    // backend: the pipe's write end is non-blocking so a backend that stops
    // reading cannot stall the event loop; bytes the pipe cannot take yet
    // wait here, in order, up to a bound, and the notifier writes them out
    // as the pipe drains.
    QByteArray backendInputBuffer;
    QSocketNotifier *backendInputNotifier = nullptr;
    // Bytes of whole lines dropped since the buffer was last able to take a
    // line; reported once per burst.
    qint64 backendDroppedBytes = 0;
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

    // What the service tells about itself: a backend that is not there is
    // said once, and looked for again quietly (the status names the path
    // meanwhile); a stopped service tells since when.
    bool backendMissing = false;
    qint64 serviceStoppedMs = 0;
};
