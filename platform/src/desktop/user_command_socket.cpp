#include "desktop/user_command_socket.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "desktop/private_folder.h"
#include "internal/unix_socket.h"

namespace zplatform {

namespace {
// A service busy for a moment holds its sender back rather than losing the
// command; one that has stopped reading does not hold it for good.
constexpr int kSendTimeoutSeconds = 5;

CommandSocket failed(CommandSocket out, const char *call, int error, int fd = -1)
{
    if (fd >= 0)
        ::close(fd);
    out.failedCall = call;
    out.error = error;
    return out;
}
} // namespace

QString userCommandSocketPath()
{
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    return runtime.isEmpty() ? QString() : runtime + QStringLiteral("/zunaro/commands");
}

CommandSocket openUserCommandSocket()
{
    CommandSocket out;
    const QString path = userCommandSocketPath();
    out.address = QFile::encodeName(path);
    int error = ENOENT;
    if (path.isEmpty() || !makePrivateFolder(QFileInfo(path).path(), &error))
        return failed(out, "mkdir", error);
    sockaddr_un addr;
    if (!unixAddress(out.address, &addr))
        return failed(out, "bind", ENAMETOOLONG);
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return failed(out, "socket", errno);
    // A socket file left by a service that ended is replaced; a live one is
    // not taken from the service that reads it.
    if (probeSocketFile(out.address, SOCK_DGRAM) == SocketFile::Live)
        return failed(out, "bind", EADDRINUSE, fd);
    // What cannot be removed (a folder) is named as the cause, not the bind
    // that would fail after it.
    if (::unlink(out.address.constData()) != 0 && errno != ENOENT)
        return failed(out, "unlink", errno, fd);
    // The folder already keeps everybody else out; the socket's own mode
    // still does should somebody open the folder.
    if (::bind(fd, reinterpret_cast<const sockaddr *>(&addr), sizeof addr) != 0
        || ::chmod(out.address.constData(), 0600) != 0)
        return failed(out, "bind", errno, fd);
    out.fd = fd;
    return out;
}

bool sendToUserCommandSocket(const QByteArray &datagram, QString *error)
{
    const QString path = userCommandSocketPath();
    sockaddr_un addr;
    if (!unixAddress(QFile::encodeName(path), &addr)) {
        *error = path.isEmpty() ? QStringLiteral("XDG_RUNTIME_DIR is not set, so there is no command socket")
                                : QStringLiteral("the command socket's path is too long: %1").arg(path);
        return false;
    }
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *error = QStringLiteral("socket: %1").arg(QString::fromLocal8Bit(strerror(errno)));
        return false;
    }
    const timeval timeout {kSendTimeoutSeconds, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    const ssize_t sent = ::sendto(fd, datagram.constData(), size_t(datagram.size()), 0,
                                  reinterpret_cast<const sockaddr *>(&addr), sizeof addr);
    const int err = errno;
    ::close(fd);
    if (sent == datagram.size())
        return true;
    if (err == ENOENT || err == ECONNREFUSED)
        *error = QStringLiteral("no service listening on %1").arg(path);
    else if (err == EAGAIN)
        *error = QStringLiteral("the service on %1 has taken no commands for %2 s").arg(path).arg(kSendTimeoutSeconds);
    else
        *error = QStringLiteral("could not send to %1: %2").arg(path, QString::fromLocal8Bit(strerror(err)));
    return false;
}

} // namespace zplatform
