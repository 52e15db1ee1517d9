// Noticing that the backend ended, and when to launch it again.

#include "service_main.h"

#include <QFile>

#include <cerrno>
#include <cstring>

#include <sys/wait.h>

#include "backend/backend_logic.h"
#include "zunaro/device.h"
#include "zunaro/log.h"

namespace {
// A run longer than this counts as healthy and forgets earlier failures.
constexpr qint64 kHealthyRunMs = 30000;
} // namespace

void ZunaroHeadlessService::reapBackend()
{
    if (backend.backendPid <= 0)
        return;
    int status = 0;
    const pid_t r = waitpid(backend.backendPid, &status, WNOHANG);
    if (r == 0)
        return;
    if (r < 0) {
        const int err = errno;
        zplatform::logLine("service: waitpid(%d) failed errno=%d (%s)\n", backend.backendPid, err, strerror(err));
        backend.backendPid = -1;
        closeBackendInput();
        QFile::remove(backendPidFilePath());
        return;
    }

    const int oldPid = backend.backendPid;
    backend.backendPid = -1;
    closeBackendInput();
    QFile::remove(backendPidFilePath());
    const backend::ExitInfo exit = backend::decodeWaitStatus(status);
    zplatform::logLine("service: backend waitpid pid=%d exitCode=%d status=%d\n", oldPid, exit.exitCode,
                      exit.exitStatus);
    onBackendFinished(exit.exitCode, QProcess::ExitStatus(exit.exitStatus));
}

void ZunaroHeadlessService::onBackendFinished(int exitCode, QProcess::ExitStatus status)
{
    zplatform::logLine("service: backend finished exitCode=%d status=%d\n", exitCode, int(status));

    const qint64 now = zplatform::nowMs();
    const qint64 uptime = (backend.backendStartedMs > 0 && now >= backend.backendStartedMs) ? now - backend.backendStartedMs : 0;
    backend.backendStartedMs = 0;
    if (uptime > kHealthyRunMs)
        backend.backendRestartAttempts = 0;

    if (!serviceActive)
        return;

    const int attempts = backend.backendRestartAttempts;
    const int delay = backend::restartDelayMs(exitCode, attempts);
    backend.backendNextStartMs = now + delay;
    backend.backendRestartAttempts = attempts + 1;
    zplatform::logLine("service: backend restart in %d ms (attempt=%d uptime_ms=%lld)\n", delay, attempts + 1,
                      static_cast<long long>(uptime));
}
