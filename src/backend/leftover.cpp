// A backend left running by an earlier service of this device that ended
// without a chance to stop it (killed, crashed). Each launch leaves the
// backend's id in the data folder; at start-up the process it names, if it
// still runs this device's backend executable and no live service is its
// parent, is stopped before this service can launch one of its own beside
// it.

#include "service_main.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <csignal>

#include <poll.h>
#include <unistd.h>
// Debian 12's glibc declares these without C linkage for C++.
extern "C" {
#include <sys/pidfd.h>
}

#include "backend/backend_logic.h"
#include "zunaro/files.h"
#include "zunaro/log.h"
#include "zunaro/platform.h"

namespace {
constexpr qsizetype kMaxPidFileBytes = 64;
constexpr qsizetype kMaxStatBytes = 4096;
// A bounded wait for SIGKILL to take effect after the stop's grace.
constexpr int kKilledWaitMs = 1000;

QString executableOf(int pid)
{
    return pid > 0 ? QFile::symLinkTarget(QStringLiteral("/proc/%1/exe").arg(pid)) : QString();
}

// Whether a process's executable (as /proc shows it) is the file at
// `canonical`; one replaced on disk since it was started shows as deleted.
bool runs(const QString &executable, const QString &canonical)
{
    return !canonical.isEmpty()
        && (executable == canonical || executable == canonical + QStringLiteral(" (deleted)"));
}

int parentOf(int pid)
{
    QByteArray stat;
    bool truncated = false;
    if (!zplatform::readFileHead(QStringLiteral("/proc/%1/stat").arg(pid), kMaxStatBytes, &stat, &truncated))
        return 0;
    return backend::parentPidFromStat(stat);
}

// Whether the process behind `pidfd` ends within `ms`.
bool endsWithin(int pidfd, int ms)
{
    const QDeadlineTimer deadline(ms);
    pollfd ended {pidfd, POLLIN, 0};
    int r;
    do {
        r = poll(&ended, 1, int(deadline.remainingTime()));
    } while (r < 0 && errno == EINTR);
    return r > 0;
}
} // namespace

void ZunaroHeadlessService::setUpBackend()
{
    // A backend an earlier service left running would hold the account: it
    // goes before this service launches its own.
    stopLeftoverBackend();
}

void ZunaroHeadlessService::stopLeftoverBackend()
{
    const QString pidFile = backendPidFilePath();
    QByteArray text;
    bool truncated = false;
    if (!zplatform::readFileHead(pidFile, kMaxPidFileBytes, &text, &truncated))
        return;
    const int pid = backend::parsePidFile(text);
    // From here on the id stays with the process it names now: it cannot
    // pass to another one between the look at it and the signals.
    const int pidfd = pid > 0 ? pidfd_open(pid, 0) : -1;
    const QString backendExe = QFileInfo(backendExecutablePath()).canonicalFilePath();
    const bool ourBackend = pidfd >= 0 && runs(executableOf(pid), backendExe);
    // Only an orphan is left behind: one whose service ended, so that init
    // or a subreaper took it. A live service of any device, whatever its
    // program file, is still its parent; the same backend executable may
    // serve two devices, and a stale or forged id file here must not end
    // theirs.
    if (ourBackend && zplatform::holdsInstanceLock(parentOf(pid))) {
        close(pidfd);
        return;
    }
    if (ourBackend) {
        zplatform::logLine("service: backend pid=%d left by an earlier service; stopping it\n", pid);
        pidfd_send_signal(pidfd, SIGTERM, nullptr, 0);
        if (!endsWithin(pidfd, backend::kStopGraceMs)) {
            pidfd_send_signal(pidfd, SIGKILL, nullptr, 0);
            endsWithin(pidfd, kKilledWaitMs);
        }
    }
    if (pidfd >= 0)
        close(pidfd);
    QFile::remove(pidFile);
}
