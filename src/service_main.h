#pragma once

#include <QByteArrayView>
#include <QList>
#include <QMap>
#include <QObject>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QVariantMap>

#include "bb/AbstractBpsEventHandler.h"
#include "bb/Application.h"
#include "bb/platform/NotificationDialog.h"
#include "bb/system/InvokeManager.h"
#include "backend/backend_state.h"
#include "calls/call_state.h"
#include "events/summary_logic.h"
#include "events/summary_state.h"
#include "events/tail_state.h"
#include "push/push_state.h"
#include "zunaro/network.h"

namespace calls {
struct CallUpdate;
}

class QNetworkReply;

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
    friend class ServiceProbe;

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
    void setUpBackend();
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
    void setUpTail();
    void setUpSummary();
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
    void setUpCalls();
    void handleCallUpdate(const calls::CallUpdate &u);
    void clearPendingIncomingCall();
    void showIncomingCallDialog(qint64 callId, qint64 chatId, qint64 userId, const QString &userName);
    void dismissIncomingCallDialog();
    void bringUiToForegroundForIncomingCall(qint64 callId, qint64 chatId, qint64 userId);
    void postIncomingCallNotification(qint64 callId, qint64 chatId, qint64 userId, const QString &userName);

    // push
    void setUpPush();
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
    bool tgpushPollInFlight() const { return !push.tgpushReply.isNull(); }
    void readTgpushAnswer();
    bool appendTgpushAnswer(QNetworkReply *reply);

    // The service's own state, in the core: the rest lives in one struct per
    // folder below, named after its owner (backend.backendPid, push.tgpushSince).
    bb::system::InvokeManager *invokeManager;
    // Runs onTick every second in backend mode, while tickWanted() holds.
    QTimer *tickTimer;
    // The application's folder, and the data folder where the service's
    // files lie (no trailing separator).
    QString appDirPath;
    QString dataDir;
    // The service is started (not stopped by an invocation), and since when
    // it is stopped when it is not; a stopped service tells since when.
    bool serviceActive = true;
    qint64 serviceStoppedMs = 0;
    // The platform event service must be shut down.
    bool bpsInitialized = false;
    // The UI's presence: how fresh its files must be to count, and the last
    // known alive state.
    int uiRunningMaxAgeMs = 15000;
    int uiAliveMaxAgeMs = 60000;
    bool uiAliveRecent = false;

    BackendState backend; // backend/backend_state.h
    TailState tail;       // events/tail_state.h
    SummaryState summary; // events/summary_state.h
    CallState calls;      // calls/call_state.h
    PushState push;       // push/push_state.h
};
