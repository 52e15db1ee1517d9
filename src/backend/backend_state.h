#pragma once

#include <QByteArray>
#include <QStringList>

class QSocketNotifier;

// What the service keeps about the backend it supervises and the commands it
// relays to it. Held by the service as `backend`.
struct BackendState
{
    // Process id of the running backend; > 0 while one runs.
    int backendPid = -1;
    // Write end of the backend's standard-input pipe; -1 when closed.
    int backendStdinFd = -1;
    // Consecutive restarts, and the earliest time the next start may run.
    int backendRestartAttempts = 0;
    qint64 backendNextStartMs = 0;
    qint64 backendStartedMs = 0;
    // The UDP command socket the UI sends to, and its read notifier.
    int cmdSocketFd = -1;
    QSocketNotifier *cmdSocketNotifier = nullptr;
    // A command has asked for the backend.
    bool backendWanted = false;
    // Commands waiting for the backend.
    QStringList pendingBackendLines;

    // The pipe's write end is non-blocking so a backend that stops reading
    // cannot stall the event loop; bytes the pipe cannot take yet wait here,
    // in order, up to a bound, and the notifier writes them out as the pipe
    // drains.
    QByteArray backendInputBuffer;
    QSocketNotifier *backendInputNotifier = nullptr;
    // Bytes of whole lines dropped since the buffer was last able to take a
    // line; reported once per burst.
    qint64 backendDroppedBytes = 0;

    // A backend that is not there is said once, and looked for again quietly
    // (the status names the path meanwhile).
    bool backendMissing = false;
};
