// One service per device, or per user on a desktop: the service holds a lock
// file for its whole life, beside what only one service may have (the
// device's platform folder; the user's command socket folder). A second one
// would relay every command and ring every call twice.

#include "zunaro/platform.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "desktop/private_folder.h"
#include "desktop/user_command_socket.h"
#include "files.h"
#include "zunaro/device.h"
#include "zunaro/log.h"

namespace zplatform {

namespace {
const QString kLockName = QStringLiteral("zunaro-service.lock");
constexpr qsizetype kMaxHolderBytes = 16;

int cannotHold(const QString &path, const char *cause)
{
    logLine("zunaro-service: cannot run here: %s: %s\n", QFile::encodeName(path).constData(), cause);
    return 2;
}
} // namespace

int holdInstanceLock()
{
    QString folder;
    switch (platformKind()) {
    case PlatformKind::Embedded:
        // A folder that cannot be made shows in the open below.
        folder = platformDir();
        makePrivatePath(folder);
        break;
    case PlatformKind::Desktop: {
        folder = QFileInfo(userCommandSocketPath()).path();
        int error = 0;
        if (!makePrivateFolder(folder, &error))
            return cannotHold(folder, strerror(error));
        break;
    }
    }
    const QString path = folder + QLatin1Char('/') + kLockName;
    const QByteArray encoded = QFile::encodeName(path);
    // Close-on-exec: a backend that outlives the service must not keep the
    // next one out.
    const int fd = ::open(encoded.constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600);
    if (fd < 0)
        return cannotHold(path, strerror(errno));
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return cannotHold(path, "not a regular file");
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int err = errno;
        char holder[kMaxHolderBytes + 1] = {};
        const ssize_t n = ::pread(fd, holder, kMaxHolderBytes, 0);
        ::close(fd);
        if (err != EWOULDBLOCK)
            return cannotHold(path, strerror(err));
        const int pid = n > 0 ? QByteArray(holder).trimmed().toInt() : 0;
        logLine("zunaro-service: another zunaro-service (pid %d) runs here; it holds %s\n", pid, encoded.constData());
        return 1;
    }
    // The holder's id, for people; the lock itself is what counts. The
    // descriptor stays open until the process ends.
    const QByteArray self = QByteArray::number(::getpid()) + '\n';
    if (::ftruncate(fd, 0) != 0 || ::pwrite(fd, self.constData(), size_t(self.size()), 0) != self.size())
        logLine("platform: cannot write the service's id to %s\n", encoded.constData());
    return 0;
}

bool holdsInstanceLock(int pid)
{
    if (pid <= 0)
        return false;
    const QString fds = QStringLiteral("/proc/%1/fd").arg(pid);
    for (const QString &fd : QDir(fds).entryList(QDir::Files | QDir::System | QDir::NoDotAndDotDot)) {
        QString target = QFile::symLinkTarget(fds + QLatin1Char('/') + fd);
        target.remove(QStringLiteral(" (deleted)"));
        if (QFileInfo(target).fileName() == kLockName)
            return true;
    }
    return false;
}

} // namespace zplatform
