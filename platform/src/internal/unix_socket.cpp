#include "internal/unix_socket.h"

#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zplatform {

bool unixAddress(const QByteArray &path, sockaddr_un *addr)
{
    *addr = {};
    addr->sun_family = AF_UNIX;
    if (path.isEmpty() || size_t(path.size()) >= sizeof addr->sun_path)
        return false;
    memcpy(addr->sun_path, path.constData(), size_t(path.size()));
    return true;
}

SocketFile probeSocketFile(const QByteArray &path, int type)
{
    struct stat st;
    if (::lstat(path.constData(), &st) != 0)
        return SocketFile::None;
    if (!S_ISSOCK(st.st_mode))
        return SocketFile::Stale;
    sockaddr_un addr;
    if (!unixAddress(path, &addr))
        return SocketFile::Live;
    const int fd = ::socket(AF_UNIX, type | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return SocketFile::Live;
    const int rc = ::connect(fd, reinterpret_cast<const sockaddr *>(&addr), sizeof addr);
    const int err = errno;
    ::close(fd);
    if (rc == 0)
        return SocketFile::Live;
    return err == ECONNREFUSED ? SocketFile::Stale : SocketFile::Live;
}

} // namespace zplatform
