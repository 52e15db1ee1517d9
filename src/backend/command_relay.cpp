// Commands from the UI: datagrams on the local command socket, relayed line
// by line to the backend, or queued while none runs.

#include "service_main.h"

#include <QTimer>

#include <sys/socket.h>

#include "backend/backend_logic.h"
#include "zunaro/device.h"
#include "zunaro/log.h"

namespace {
constexpr int kMaxQueuedLines = 200;
// One activation reads this many datagrams at most and then lets the event
// loop run; the notifier fires again for the rest.
constexpr int kMaxDatagramsPerActivation = 256;
} // namespace

void ZunaroHeadlessService::drainCmdSocket()
{
    if (backend.cmdSocketFd < 0)
        return;
    // Lines for a running backend are written out together once this
    // activation is over: one write for many datagrams, in the same order.
    struct WriteAtEnd {
        ZunaroHeadlessService *service;
        ~WriteAtEnd() { service->writeBackendInput(); }
    } writeAtEnd {this};
    // A longer datagram is dropped whole: relayed cut, its last line would
    // reach the backend as a different command ("delete_chat 123456789" as
    // "delete_chat 12"). MSG_TRUNC makes recv() tell the datagram's real
    // length on both kinds of command socket; the byte over the limit would
    // tell it too.
    char buffer[zplatform::kMaxCommandDatagramBytes + 1];
    for (int i = 0; i < kMaxDatagramsPerActivation; ++i) {
        const ssize_t n = recv(backend.cmdSocketFd, buffer, sizeof buffer, MSG_DONTWAIT | MSG_TRUNC);
        if (n <= 0)
            return;
        if (n > zplatform::kMaxCommandDatagramBytes) {
            zplatform::logLine("service: cmd datagram of %lld bytes dropped (longer than %lld)\n", qint64(n),
                               qint64(zplatform::kMaxCommandDatagramBytes));
            continue;
        }
        for (const QString &line : backend::commandLines(QByteArray(buffer, int(n)))) {
            resumeForCommand();
            if (backend.backendPid > 0 && backend.pendingBackendLines.isEmpty()) {
                queueBackendLine(line);
                continue;
            }
            backend.pendingBackendLines.append(line);
            while (backend.pendingBackendLines.size() > kMaxQueuedLines)
                backend.pendingBackendLines.removeFirst();
            if (backend.backendPid <= 0)
                startBackend();
            // A backend launched just now has its "ping"; the lines that waited
            // for it go next, before any later line of the same datagram, so
            // the backend takes the UI's commands in the order they were sent.
            queuePendingBackendLines();
        }
    }
}

// A command is the UI asking for the backend, also after a stop: the
// service is started again, and so is the tick that supervises the backend,
// reaps it when it ends and reads its events. Nothing else of a start is
// done (the Hub state and the back-off stay as they are).
void ZunaroHeadlessService::resumeForCommand()
{
    serviceActive = true;
    backend.backendWanted = true;
    wakeTick();
}

void ZunaroHeadlessService::flushPendingBackendLines()
{
    queuePendingBackendLines();
    writeBackendInput();
}

void ZunaroHeadlessService::queuePendingBackendLines()
{
    if (backend.pendingBackendLines.isEmpty() || backend.backendPid <= 0)
        return;
    const QStringList lines = std::exchange(backend.pendingBackendLines, QStringList());
    for (const QString &raw : lines) {
        const QString line = raw.trimmed();
        if (!line.isEmpty())
            queueBackendLine(line);
    }
}

void ZunaroHeadlessService::onCmdSocketActivated(int)
{
    drainCmdSocket();
}
