// Launching the backend with its environment, stack limit, command pipe and
// output files; stopping it; writing command lines to it.

#include "service_main.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <vector>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "backend/backend_logic.h"
#include "zunaro/device.h"
#include "zunaro/files.h"
#include "zunaro/log.h"
#include "zunaro/spawn.h"

namespace {
constexpr qint64 kFailedLaunchWaitMs = 2000;
constexpr useconds_t kStopPollUs = 50000;
// What the backend's input may hold back while it is busy; beyond this new
// lines are dropped whole.
constexpr qsizetype kMaxBackendInputBytes = 1024 * 1024;

// Moves a descriptor to 3 or above (close-on-exec), so a service started
// with a standard descriptor closed never hands the pipe out as one of the
// child's standard streams or writes its log into it.
int aboveStandardStreams(int fd)
{
    if (fd > 2)
        return fd;
    const int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    close(fd);
    return moved;
}

bool openBackendPipe(int fds[2])
{
    if (pipe2(fds, O_CLOEXEC) != 0)
        return false;
    const int savedErrno = errno;
    fds[0] = aboveStandardStreams(fds[0]);
    fds[1] = aboveStandardStreams(fds[1]);
    if (fds[0] < 0 || fds[1] < 0) {
        const int err = errno;
        if (fds[0] >= 0)
            close(fds[0]);
        if (fds[1] >= 0)
            close(fds[1]);
        errno = err;
        return false;
    }
    errno = savedErrno;
    return true;
}

// The backend's standard output or error file, opened so that nothing put
// at the path can block the service; -1 (logged) when it is not a regular
// file that can be written.
int backendOutputFd(const QString &path)
{
    const int fd = zplatform::openOutputFile(path);
    if (fd < 0) {
        const int err = errno;
        zplatform::logLine("service: cannot write %s errno=%d (%s); the backend's output goes to /dev/null\n",
                          QFile::encodeName(path).constData(), err, strerror(err));
    }
    return fd;
}

// The descriptors a launch hands the backend: its input pipe, and its
// output and error files (-1: /dev/null instead).
struct BackendStreams {
    int input[2] = {-1, -1};
    int out = -1;
    int err = -1;

    // The child has its copies once the spawn is over; the service keeps
    // only the pipe's write end.
    void closeChildSide() const
    {
        for (const int fd : {input[0], out, err}) {
            if (fd >= 0)
                close(fd);
        }
    }
};

// The output files are opened here, not by the spawn: the spawn's opens
// would block the service (it waits for the child's exec) on a FIFO nobody
// reads. What cannot be opened that way gives /dev/null instead: the
// backend still runs.
void openBackendOutput(const QString &dataDir, BackendStreams &streams)
{
    streams.out = backendOutputFd(dataDir + QStringLiteral("/td_backend_service.out"));
    streams.err = backendOutputFd(dataDir + QStringLiteral("/td_backend_service.err"));
}

void addStandardStream(posix_spawn_file_actions_t *actions, int fd, int stream)
{
    if (fd >= 0)
        posix_spawn_file_actions_adddup2(actions, fd, stream);
    else
        posix_spawn_file_actions_addopen(actions, stream, "/dev/null", O_WRONLY, 0);
}

// Spawns the executable with its three standard streams, its stack limit and
// the environment `env`: the spawn's result, and the child's id in `*pid`.
int spawnBackend(const QByteArray &exePath, const QStringList &env, size_t stackMax, const BackendStreams &streams,
                 pid_t *pid)
{
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, streams.input[0], 0);
    posix_spawn_file_actions_addclose(&actions, streams.input[1]);
    posix_spawn_file_actions_addclose(&actions, streams.input[0]);
    addStandardStream(&actions, streams.out, 1);
    addStandardStream(&actions, streams.err, 2);
    // Whatever the service itself inherited without close-on-exec stays
    // with the service: the backend gets its three standard streams only.
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);

    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    int rc = posix_spawnattr_setxflags(&attr, POSIX_SPAWN_SETSTACKMAX);
    if (rc != 0)
        zplatform::logLine("service: posix_spawnattr_setxflags failed rc=%d (%s)\n", rc, strerror(rc));
    rc = posix_spawnattr_setstackmax(&attr, stackMax);
    if (rc != 0)
        zplatform::logLine("service: posix_spawnattr_setstackmax failed rc=%d (%s)\n", rc, strerror(rc));

    QList<QByteArray> envBytes;
    envBytes.reserve(env.size());
    std::vector<char *> envp;
    envp.reserve(size_t(env.size()) + 1);
    for (const QString &entry : env) {
        envBytes.append(entry.toUtf8());
        envp.push_back(envBytes.last().data());
    }
    envp.push_back(nullptr);
    QByteArray argv0 = exePath;
    char *argv[] = {argv0.data(), nullptr};

    rc = zplatform::spawn(pid, exePath.constData(), &actions, &attr, argv, envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    return rc;
}

bool makeNonBlocking(int fd)
{
    const int flags = fcntl(fd, F_GETFL);
    return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

// The service's own signal dispositions stay as they are (the backend
// inherits them); a write into a pipe whose reader has gone must still not
// end the service. SIGPIPE is held blocked for the write and a pending one
// is taken off the thread before it is unblocked again.
class SigpipeGuard
{
public:
    SigpipeGuard()
    {
        sigemptyset(&m_pipe);
        sigaddset(&m_pipe, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &m_pipe, &m_previous);
    }
    ~SigpipeGuard()
    {
        if (m_broken) {
            const timespec zero {0, 0};
            while (sigtimedwait(&m_pipe, nullptr, &zero) == SIGPIPE) {
            }
        }
        pthread_sigmask(SIG_SETMASK, &m_previous, nullptr);
    }
    void noteBrokenPipe() { m_broken = true; }

private:
    sigset_t m_pipe;
    sigset_t m_previous;
    bool m_broken = false;
};
} // namespace

void ZunaroHeadlessService::startBackend()
{
    if (!serviceActive || !backend.backendWanted)
        return;
    if (backend.backendNextStartMs > 0 && zplatform::nowMs() < backend.backendNextStartMs)
        return;
    if (backend.backendPid <= 0 && !backendExecutableThere())
        return;

    tail.eventsFilePath = dataDir + QStringLiteral("/backend_events.jsonl");
    zplatform::makePrivatePath(dataDir + QStringLiteral("/cache/tdlib-files"));

    // Events written before this launch are not this backend's news.
    skipExistingEvents();

    const QStringList env = buildBackendEnvironment();
    if (backend.backendPid > 0)
        return;

    const size_t stackMax = backend::stackLimitBytes(get_env_value(env, QStringLiteral("TD_BACKEND_STACK_KB")));
    const QByteArray exePath = backendExecutablePath().toUtf8();
    zplatform::logLine("service: backend starting %s stackmax=%zuKB\n", exePath.constData(), stackMax / 1024);

    BackendStreams streams;
    if (!openBackendPipe(streams.input)) {
        const int err = errno;
        zplatform::logLine("service: pipe() failed errno=%d (%s)\n", err, strerror(err));
        noteFailedLaunch();
        return;
    }
    openBackendOutput(dataDir, streams);
    pid_t pid = -1;
    const int rc = spawnBackend(exePath, env, stackMax, streams, &pid);
    streams.closeChildSide();
    if (rc != 0) {
        zplatform::logLine("service: posix_spawn failed rc=%d (%s) path=%s\n", rc, strerror(rc), exePath.constData());
        close(streams.input[1]);
        noteFailedLaunch();
        return;
    }
    // Non-blocking, or a backend that stops reading would stall the service
    // on its next line. Without it the pipe is not kept: the backend is
    // ended and the launch counts as failed.
    if (!makeNonBlocking(streams.input[1])) {
        const int err = errno;
        zplatform::logLine("service: fcntl(O_NONBLOCK) on the backend pipe failed errno=%d (%s)\n", err,
                          strerror(err));
        close(streams.input[1]);
        kill(pid, SIGKILL);
        while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
        }
        noteFailedLaunch();
        return;
    }
    recordLaunchedBackend(pid, streams.input[1]);
}

QString ZunaroHeadlessService::backendExecutablePath() const
{
    return appDirPath + QStringLiteral("/td_backend");
}

// Said once while it is missing: each tick looks again without a word, and
// the launch goes ahead once the file is there. No attempt is counted
// meanwhile, so it starts without a back-off.
bool ZunaroHeadlessService::backendExecutableThere()
{
    const QByteArray path = QFile::encodeName(backendExecutablePath());
    const bool missing = access(path.constData(), F_OK) != 0 && errno == ENOENT;
    if (missing && !backend.backendMissing)
        zplatform::logLine("service: backend missing: %s is not there; install the backend there (td_backend, a "
                          "TDLib client; td_backend_sim to try the service); it is started once it is there\n",
                          path.constData());
    backend.backendMissing = missing;
    return !missing;
}

QString ZunaroHeadlessService::backendPidFilePath() const
{
    return dataDir + QStringLiteral("/td_backend.pid");
}

void ZunaroHeadlessService::noteFailedLaunch()
{
    backend.backendNextStartMs = zplatform::nowMs() + kFailedLaunchWaitMs;
    ++backend.backendRestartAttempts;
}

void ZunaroHeadlessService::recordLaunchedBackend(int pid, int inputFd)
{
    backend.backendPid = pid;
    backend.backendStdinFd = inputFd;
    backend.backendNextStartMs = 0;
    backend.backendStartedMs = zplatform::nowMs();
    // Left for the next service, should this one end without a chance to
    // stop the backend (SIGKILL, a crash).
    if (!zplatform::writeFileAtomically(backendPidFilePath(), QByteArray::number(pid) + '\n'))
        zplatform::logLine("service: cannot write %s\n", QFile::encodeName(backendPidFilePath()).constData());
    sendLine(QStringLiteral("ping"));
}

void ZunaroHeadlessService::stopBackend()
{
    if (backend.backendPid <= 0)
        return;
    zplatform::logLine("service: backend stopping\n");

    const pid_t pid = backend.backendPid;
    backend.backendPid = -1;
    closeBackendInput();
    kill(pid, SIGTERM);

    // Measured on a monotonic clock: the grace period is real time, whatever
    // the wall clock does meanwhile.
    const QDeadlineTimer deadline(backend::kStopGraceMs);
    for (;;) {
        const pid_t r = waitpid(pid, nullptr, WNOHANG);
        if (r == pid || (r < 0 && errno == ECHILD))
            break;
        if (deadline.hasExpired()) {
            kill(pid, SIGKILL);
            while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
            }
            break;
        }
        usleep(kStopPollUs);
    }
    QFile::remove(backendPidFilePath());
}

void ZunaroHeadlessService::sendLine(const QString &line)
{
    if (queueBackendLine(line))
        writeBackendInput();
}

// Puts the line behind whatever still waits for the pipe, or drops it whole
// when the buffer cannot take it. True when it was queued.
bool ZunaroHeadlessService::queueBackendLine(const QString &line)
{
    if (backend.backendPid <= 0 || backend.backendStdinFd < 0)
        return false;
    const QByteArray bytes = line.toUtf8() + '\n';
    if (backend.backendInputBuffer.size() + bytes.size() > kMaxBackendInputBytes) {
        backend.backendDroppedBytes += bytes.size();
        return false;
    }
    reportDroppedBackendInput();
    backend.backendInputBuffer.append(bytes);
    return true;
}

void ZunaroHeadlessService::writeBackendInput()
{
    if (backend.backendStdinFd < 0 || backend.backendInputBuffer.isEmpty())
        return;
    SigpipeGuard guard;
    qsizetype written = 0;
    bool broken = false;
    while (written < backend.backendInputBuffer.size()) {
        const ssize_t n = write(backend.backendStdinFd, backend.backendInputBuffer.constData() + written,
                                size_t(backend.backendInputBuffer.size() - written));
        if (n > 0) {
            written += n;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            break;
        // The reader is gone: nothing queued can reach it any more. The tick
        // reaps the backend and gives the pipe up.
        if (n < 0 && errno == EPIPE)
            guard.noteBrokenPipe();
        broken = true;
        break;
    }
    if (broken)
        backend.backendInputBuffer.clear();
    else
        backend.backendInputBuffer.remove(0, written);

    const bool waiting = !backend.backendInputBuffer.isEmpty();
    if (waiting && !backend.backendInputNotifier) {
        backend.backendInputNotifier = new QSocketNotifier(backend.backendStdinFd, QSocketNotifier::Write, this);
        connect(backend.backendInputNotifier, &QSocketNotifier::activated, this, &ZunaroHeadlessService::writeBackendInput);
    }
    if (backend.backendInputNotifier)
        backend.backendInputNotifier->setEnabled(waiting);
}

void ZunaroHeadlessService::closeBackendInput()
{
    if (backend.backendInputNotifier) {
        backend.backendInputNotifier->setEnabled(false);
        delete backend.backendInputNotifier;
        backend.backendInputNotifier = nullptr;
    }
    backend.backendInputBuffer.clear();
    reportDroppedBackendInput();
    if (backend.backendStdinFd >= 0) {
        close(backend.backendStdinFd);
        backend.backendStdinFd = -1;
    }
}

void ZunaroHeadlessService::reportDroppedBackendInput()
{
    if (backend.backendDroppedBytes == 0)
        return;
    zplatform::logLine("service: backend input full, dropped %lld bytes\n",
                      static_cast<long long>(backend.backendDroppedBytes));
    backend.backendDroppedBytes = 0;
}

void ZunaroHeadlessService::startBackendAttempt()
{
    startBackend();
    wakeTick();
}
