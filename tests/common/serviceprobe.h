#pragma once
// The tests' and benches' one way into the service's private state and steps: the state by folder, the core
// members they set or read, and a forwarder per step they drive directly (typed where callers pass braces).

#include <utility>

#include "calls/call_logic.h"
#include "service_main.h"

#define ZUNARO_PROBE_STEP(f) template <typename... A> decltype(auto) f(A &&...a) { return service.f(std::forward<A>(a)...); }

class ServiceProbe
{
public:
    explicit ServiceProbe(ZunaroHeadlessService &s) : service(s) { }
    ZunaroHeadlessService &service;
    BackendState &backend = service.backend;
    TailState &tail = service.tail;
    SummaryState &summary = service.summary;
    CallState &calls = service.calls;
    PushState &push = service.push;
    bb::system::InvokeManager *&invokeManager = service.invokeManager;
    QTimer *&tickTimer = service.tickTimer;
    QString &dataDir = service.dataDir;
    bool &serviceActive = service.serviceActive;
    bool &uiAliveRecent = service.uiAliveRecent;

    ZUNARO_PROBE_STEP(onTick)
    ZUNARO_PROBE_STEP(onInvoked)
    ZUNARO_PROBE_STEP(onEventsTailTick)
    ZUNARO_PROBE_STEP(onPendingIncomingCallInvokeTick)
    ZUNARO_PROBE_STEP(onBackendFinished)
    ZUNARO_PROBE_STEP(onTgpushTick)
    ZUNARO_PROBE_STEP(onTgpushNotifyTimer)
    ZUNARO_PROBE_STEP(onTgpushPollDeadline)
    ZUNARO_PROBE_STEP(statusSnapshot)
    ZUNARO_PROBE_STEP(writeHubOpenRequest)
    ZUNARO_PROBE_STEP(buildBackendEnvironment)
    ZUNARO_PROBE_STEP(startBackend)
    ZUNARO_PROBE_STEP(stopBackend)
    ZUNARO_PROBE_STEP(sendLine)
    ZUNARO_PROBE_STEP(reapBackend)
    ZUNARO_PROBE_STEP(drainCmdSocket)
    ZUNARO_PROBE_STEP(tailBackendEvents)
    ZUNARO_PROBE_STEP(dispatchBackendEvent)
    void enqueueHubSummaryMessage(const hubsummary::Message &m) { service.enqueueHubSummaryMessage(m); }
    ZUNARO_PROBE_STEP(applyChatUnread)
    ZUNARO_PROBE_STEP(postHubSummary)
    ZUNARO_PROBE_STEP(clearHubSummaryState)
    void handleCallUpdate(const calls::CallUpdate &u) { service.handleCallUpdate(u); }
    ZUNARO_PROBE_STEP(showIncomingCallDialog)
    ZUNARO_PROBE_STEP(bringUiToForegroundForIncomingCall)
    ZUNARO_PROBE_STEP(postIncomingCallNotification)
    ZUNARO_PROBE_STEP(pollTgpushMaybe)
    ZUNARO_PROBE_STEP(cancelTgpushPoll)
    ZUNARO_PROBE_STEP(enqueueTgpushNotification)
    ZUNARO_PROBE_STEP(maybeLogTgpushStats)
    ZUNARO_PROBE_STEP(markTgpushSinceDirty)
    ZUNARO_PROBE_STEP(takeTgpushAnswer)
    ZUNARO_PROBE_STEP(tgpushPollInFlight)
};

#undef ZUNARO_PROBE_STEP
