// Commands from the UI: datagrams on the local command socket, relayed line
// by line to the backend, or queued while none runs.

#include "service_main.h"

#include <sys/socket.h>

#include "backend/backend_logic.h"
#include "zunaro/device.h"

namespace {
constexpr int kMaxQueuedLines = 200;
// One activation reads this many datagrams at most and then lets the event
// loop run; the notifier fires again for the rest.
constexpr int kMaxDatagramsPerActivation = 256;
} // namespace

void ZunaroHeadlessService::drainCmdSocket()
{
    if (cmdSocketFd < 0)
        return;
    // Lines for a running backend are written out together once this
    // activation is over: one write for many datagrams, in the same order.
    struct WriteAtEnd {
        ZunaroHeadlessService *service;
        ~WriteAtEnd() { service->writeBackendInput(); }
    } writeAtEnd {this};
    // What a datagram holds past the buffer is cut off by recv() and lost.
    char buffer[zplatform::kMaxCommandDatagramBytes];
    for (int i = 0; i < kMaxDatagramsPerActivation; ++i) {
        const ssize_t n = recv(cmdSocketFd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n <= 0)
            return;
        for (const QString &line : backend::commandLines(QByteArray(buffer, int(n)))) {
            serviceActive = true;
            backendWanted = true;
            if (backendPid <= 0) {
                pendingBackendLines.append(line);
                while (pendingBackendLines.size() > kMaxQueuedLines)
                    pendingBackendLines.removeFirst();
                startBackend();
            } else {
                queueBackendLine(line);
            }
        }
    }
}

void ZunaroHeadlessService::flushPendingBackendLines()
{
    if (pendingBackendLines.isEmpty() || backendPid <= 0)
        return;
    const QStringList lines = std::exchange(pendingBackendLines, QStringList());
    for (const QString &raw : lines) {
        const QString line = raw.trimmed();
        if (!line.isEmpty())
            sendLine(line);
    }
}
